#include "engine/kvcheck.h"

// Password verification: the check command and db_check, which also serves
// lookup and mod as the engine's existence test.
#include <cstring>

#include "core/emsg.h"
#include "engine/kvprint.h"
#include "engine/kvrules.h"
#include "engine/kvindex.h"
#include "lib/lib.h"

const char *kvdrop_path(const char *) {
    return "config";
}

int db_check(const char *user, const char *pass, char *info) {
    if (!auth_index_built()) build_index("pass");
    if (!auth_add_replayed()) check_add();
    if (!pass)
        imsg("db_check(%s,'NULL')\n", user);
    else
        imsg("db_check(%s,xxxx)\n", user);
    const USER *u = auth_find(user);
    if (!u) {
        imsg("User not found (%s)\n", user);
        return 0;
    }
    ncpy(info, u->info, 999);
    info[999] = 0;
    if (!pass) return 1;
    return pass_verify(user, u->user, u->pass, info, pass);
}

int auth_check(const char *user, const char *pass) {
    char info[1000] = "";
    if (db_check(user, pass, info)) {
        buf_print("+OK %s %s 0 %s\n", user, kvdrop_path(user), info);
        return 1;
    }
    buf_print("-ERR %s password wrong or not a valid user\n", user);
    return 0;
}
