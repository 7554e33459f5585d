// kvauth: the user-database engine as an authenticator program for the
// server's pool (authent_process), one request per line on standard input.
#include "authproc/authloop.h"

int main(int argc, char **argv) {
    return kvauth_main(argc, argv);
}
