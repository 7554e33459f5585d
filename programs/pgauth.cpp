// pgauth: the pool authenticator on PostgreSQL. Its users are in PostgreSQL,
// with a cache in front: the store the engine's commands use.
#include "engine/userstore.h"
#include "pgauth/pgauth.h"
#include "pgauth/pgstore.h"

int main(int argc, char **argv) {
    store_use(&pg_store());
    return pgauth_main(argc, argv);
}
