// Password verification: the check command and db_check, which also serves
// lookup and mod as the engine's existence test.
#include <crypt.h>
#include <cstring>

#include "core/emsg.h"
#include "engine/kvauth.h"
#include "engine/kvindex.h"
#include "engine/kvread.h"
#include "engine/ld_sha.h"
#include "lib/lib.h"

namespace {
constexpr int kDigestBuf = 990;
constexpr int kSshaPrefix = 6;  // "{ssha}", not examined: the digest text follows it
}  // namespace

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
    const char *stored = u->pass;
    size_t slen = strlen(stored);
    if (slen < 2) {
        emsg("ERROR: User (%s) has an encrypted password less than 2 chars long!", u->user);
        return 0;
    }
    if (stored[0] == '*') {
        if (strcmp(pass, stored + 1) == 0) return 1;
        imsg("Clear text password wrong for user(%s), pass(%s)!=(%s)\n", user, pass, stored + 1);
        return 0;
    }
    if (strstr(info, "(BLOCK)")) return 0;
    // crypt(3) answers a salt it cannot use with null or a failure text, never
    // with the stored field, so every form can be tried in the same order.
    char crypted[200];
    const char *c = crypt(pass, stored);
    ncpy(crypted, c ? c : "", 199);
    if (strcmp(crypted, stored) == 0) return 1;
    if (slen > kSshaPrefix) {
        char digest[kDigestBuf];
        if (raw_create_ssha(pass, digest, kDigestBuf, stored + kSshaPrefix) &&
            strcmp(digest, stored + kSshaPrefix) == 0)
            return 1;
    }
    imsg("Password wrong for user(%s), pass(%s)!=(%s)\n", user, crypted, stored);
    return 0;
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
