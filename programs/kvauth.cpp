// kvauth: the user-database engine as an authenticator program for the
// server's pool (authent_process), one request per line on standard input.
#include "authproc/authloop.h"
#include "core/emsg.h"
#include "core/ini.h"

int main(int argc, char **argv) {
    ini_bind();  // the support library finds the work area and logs through the log
    log_bind();
    return kvauth_main(argc, argv);
}
