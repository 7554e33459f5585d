// pgauth: the pool authenticator on PostgreSQL.
#include "pgauth/pgauth.h"

int main(int argc, char **argv) {
    return pgauth_main(argc, argv);
}
