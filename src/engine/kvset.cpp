#include "engine/kvset.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <openssl/crypto.h>
#include <string>

#include "core/emsg.h"
#include "engine/kvline.h"
#include "engine/kvoffload.h"
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

// How set turns a given password into its field: in the scheme configured,
// or always the engine's own {ssha} (the self-test's accounts).
enum class Scheme { kConfigured, kSsha };

// The field for a made hash, or the failure's log lines and marker field.
const char *encoded_field(const char *pass, bool made, const std::string &field,
                          const std::string &why) {
    if (made) {
        ncpy(encoded, field.c_str(), sizeof encoded - 1);
        return encoded;
    }
    emsg("SSHA hashing debug and error information (%.200s)", why.c_str());
    emsg("Could not hash password for (%s) using SSHA", log_secret(pass));
    strcpy(encoded, "{ssha}function_failed");
    return encoded;
}

using MakeFn = bool (*)(const char *pass, std::string *field, std::string *why);

// The stored form of pass as make makes it; "*clear" stays as it is.
const char *encode_with(const char *pass, MakeFn make) {
    if (*pass == '*') return pass;
    std::string field;
    std::string why;
    bool made = make(pass, &field, &why);
    return encoded_field(pass, made, field, why);
}

const char *ssha_encode(const char *pass) {
    return encode_with(pass, pass_hash_make_ssha);
}

int set_user(const char *user, const char *pass, const char *info_in, Scheme scheme,
             const std::string *made);

// A set waiting for its field: the loop stores it when the worker is done.
struct SetJob final : WorkJob {
    std::string user;
    std::string pass;
    std::string info;
    bool made = false;
    std::string field;
    std::string why;
    HeldReply to;
    ~SetJob() override { OPENSSL_cleanse(pass.data(), pass.size()); }
    void compute() override { made = pass_hash_make(pass.c_str(), &field, &why); }
    void finish() override {
        SinkBinding bound(to.sink());
        std::string stored = encoded_field(pass.c_str(), made, field, why);
        if (store_enter(true))
            set_user(user.c_str(), pass.c_str(), info.c_str(), Scheme::kConfigured, &stored);
        else
            store_say_failure();
        store_leave(true);
    }
};

// Hands the hash of a set's password off when it costs; false when it is
// made in line instead.
bool set_later(const char *user, const char *pass, const std::string &info) {
    if (!pass_make_costly() || !kvoffload_bound()) return false;
    auto job = std::make_unique<SetJob>();
    job->to = HeldReply::take();
    if (!job->to) return false;
    job->user = user;
    job->pass = pass;
    job->info = info;
    std::unique_ptr<WorkJob> w = std::move(job);
    return kvoffload_submit(w);
}

// set with the refusals, the field and the store's put. made: the field a
// worker made for pass (the rest of a handed-off set). 1 when kept, 0
// refused or finished later.
int set_user(const char *user, const char *pass, const char *info_in, Scheme scheme,
             const std::string *made) {
    // The rest of a handed-off set passed these steps, with their log lines,
    // before the hand-off.
    if (!made) {
        emsg("auth_set(%s,xxxx)\n", user);
        if (const char *refused = set_refusal(user, pass)) {
            refuse(refused);
            return 0;
        }
    }
    std::string info(info_in, strnlen(info_in, kField));
    UserView u;
    int found = store_find(user, &u);
    if (found == STORE_FAILED) return 0;
    std::string stored;
    if (strcmp(pass, "(NULL)") == 0)
        stored = found ? u.pass : "none";
    else if (made)
        stored = *made;
    else if (scheme == Scheme::kSsha)
        stored = ssha_encode(pass);
    else if (*pass != '*' && set_later(user, pass, info))
        return 0;
    else
        stored = str_encode(pass);
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
}  // namespace

const char *str_encode(const char *s) {
    return encode_with(s, pass_hash_make);
}

int auth_set_raw(const char *user, const char *pass, const char *info_in) {
    return set_user(user, pass, info_in, Scheme::kConfigured, nullptr);
}

int auth_set_ssha(const char *user, const char *pass, const char *info) {
    if (!store_enter(true)) {
        store_leave(true);
        store_say_failure();
        return 0;
    }
    int r = set_user(user, pass, info, Scheme::kSsha, nullptr);
    store_leave(true);
    return r;
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
