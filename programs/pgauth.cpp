// pgauth: the pool authenticator on PostgreSQL. Its users are in PostgreSQL,
// with a cache in front: the store the engine's commands use.
#include "core/emsg.h"
#include "core/ini.h"
#include "engine/userstore.h"
#include "pgauth/pgauth.h"
#include "pgauth/pgstore.h"

int main(int argc, char **argv) {
    ini_bind();  // the support library finds the work area and logs through the log
    log_bind();
    store_use(&pg_store());
    return pgauth_main(argc, argv);
}
