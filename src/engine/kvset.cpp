#include "engine/kvset.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/emsg.h"
#include "engine/kvline.h"
#include "engine/kvprint.h"
#include "engine/kvrules.h"
#include "engine/passhash.h"
#include "engine/userstore.h"
#include "lib/lib.h"

namespace {
constexpr int kField = 999;

char encoded[1000];

void refuse(const char *text) {
    emsg("%s", text);
    buf_print("%s", text);
}
}  // namespace

const char *str_encode(const char *s) {
    if (*s == '*') return s;
    std::string field;
    std::string why;
    if (pass_hash_make(s, &field, &why)) {
        ncpy(encoded, field.c_str(), sizeof encoded - 1);
        return encoded;
    }
    emsg("SSHA hashing debug and error information (%.200s)", why.c_str());
    emsg("Could not hash password for (%s) using SSHA", log_secret(s));
    strcpy(encoded, "{ssha}function_failed");
    return encoded;
}

int auth_set_raw(const char *user, const char *pass, const char *info_in) {
    emsg("auth_set(%s,xxxx)\n", user);
    if (const char *refused = set_refusal(user, pass)) {
        refuse(refused);
        return 0;
    }
    std::string info(info_in, strnlen(info_in, kField));
    UserView u;
    int found = store_find(user, &u);
    if (found == STORE_FAILED) return 0;
    std::string stored = strcmp(pass, "(NULL)") != 0 ? str_encode(pass) : found ? u.pass : "none";
    const char *refused = line_refusal(user, stored.c_str(), info.c_str());
    // A block changes the record beyond its line: the record must still be
    // writable as a line that reads back.
    std::string blocked;
    if (!refused && found && info == "(BLOCK)" && info_block(u.info, &blocked))
        refused = line_refusal(u.name, u.pass, blocked.c_str());
    if (refused) {
        refuse(refused);
        return 0;
    }
    char ack[1100];
    snprintf(ack, sizeof ack, "+OK %s added to database\n", user);
    if (!store().put(user, stored.c_str(), info.c_str(), ack)) {
        store_say_failure();
        return 0;
    }
    return 1;
}

int auth_mod_raw(const char *user, const char *pass, const char *addinfo) {
    imsg("db_check(%s,'NULL')\n", user);
    UserView u;
    int found = store_find(user, &u);
    if (found == STORE_FAILED) return 1;
    if (!found) {
        imsg("User not found (%s)\n", user);
        buf_print("-ERR No such user\n");
        return 1;
    }
    char info[1000];
    ncpy(info, u.info, kField);
    auth_set_raw(user, pass, mod_info(info, addinfo).c_str());
    return 1;
}

int auth_del_raw(const char *user, int silent) {
    emsg("auth_del(%s,%d)\n", user, silent);
    // A deletion line that would not read back would leave the user in place
    // after a restart.
    bool storable = kvline_field_ok(KVLINE_USER, user);
    if (const char *refused = storable ? line_refusal(user, "(DELETE)", "(DELETE)") : nullptr) {
        refuse(refused);
        return 0;
    }
    if (!store().put(user, "(DELETE)", "(DELETE)",
                     silent ? nullptr : "+OK Deleted user successfully\n")) {
        store_say_failure();
        return 0;
    }
    return 1;
}

int auth_set(const char *user, const char *pass, const char *info) {
    if (!store_enter(true)) {
        store_leave(true);
        store_say_failure();
        return 0;
    }
    int r = auth_set_raw(user, pass, info);
    store_leave(true);
    return r;
}

int auth_mod(const char *user, const char *pass, const char *addinfo) {
    if (!store_enter(true)) {
        store_leave(true);
        store_say_failure();
        return 1;
    }
    int r = auth_mod_raw(user, pass, addinfo);
    store_leave(true);
    return r;
}

int auth_del(const char *user, int silent) {
    if (!store_enter(true)) {
        store_leave(true);
        store_say_failure();
        return 0;
    }
    int r = auth_del_raw(user, silent);
    store_leave(true);
    return r;
}
