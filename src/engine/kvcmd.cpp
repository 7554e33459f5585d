#include "engine/kvcmd.h"

#include "engine/kvoffload.h"
#include "engine/kvprint.h"
#include "engine/kvrehash.h"
#include "engine/kvrules.h"
#include "engine/kvsearch.h"
#include "engine/kvset.h"
#include "engine/userstore.h"

#include <cctype>
#include <iterator>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <openssl/crypto.h>
#include <string>

#include "core/emsg.h"
#include "lib/lib.h"

namespace {
constexpr int kField = 999;
constexpr const char *kVersion = "4.0e";

// Command words are separated by blanks and line ends only: a tab stays
// inside its token.
bool is_sep(char c) {
    return c == ' ' || c == '\r' || c == '\n';
}

// Copies len bytes of a token, at most kField of them.
void copy_field(char *dst, const char *src, size_t len) {
    if (len > static_cast<size_t>(kField)) len = kField;
    memcpy(dst, src, len);
    dst[len] = 0;
}

// Takes the next token of s into out; returns the position after the
// separator that ended it, or null when no token is left.
const char *take_token(const char *s, char *out) {
    while (*s && is_sep(*s)) s++;
    if (!*s) return nullptr;
    const char *start = s;
    while (*s && !is_sep(*s)) s++;
    copy_field(out, start, static_cast<size_t>(s - start));
    return *s ? s + 1 : s;
}

// The integer after a keyword inside the rest of a search line: the number
// of the word that follows the keyword's own word.
void option_in_rest(const char *p3, const char *key, int *val) {
    const char *at = strstr(p3, key);
    if (!at) return;
    while (*at && *at != ' ' && *at != '\t') at++;
    *val = cmd_atoi(at);
}

void do_help() {
    buf_print("+DATA Valid commands\n");
    buf_print("+DATA \tlookup username\n");
    buf_print("+DATA \tcheck username password\n");
    buf_print("+DATA \tset username password|(NULL) [var=\"val\" ...]\n");
    buf_print("+DATA \tmod username pass|(NULL) var=\"val\"\n");
    buf_print("+DATA \tsearch string\n");
    buf_print("+DATA \tdel username\n");
    buf_print("+DATA \texit\n");
    buf_print("+DATA \t(use -help command line option for extended help information)\n");
    if (const char *note = store().help_note) buf_print("%s\n", note);
    buf_print("+OK \n");
}
}  // namespace

int cmd_atoi(const char *s) {
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) s++;
    bool neg = false;
    if (*s == '+' || *s == '-') neg = *s++ == '-';
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
    }
    if (neg) v = -v;
    if (v > INT_MAX) v = INT_MAX;
    return static_cast<int>(v);
}

void cmd_split(const char *line, CmdLine *out) {
    strcpy(out->cmd, "nocommand");
    out->p1[0] = out->p2[0] = out->p3[0] = 0;
    const char *s = take_token(line, out->cmd);
    if (s) s = take_token(s, out->p1);
    if (s) s = take_token(s, out->p2);
    if (s) {
        while (*s == '\r' || *s == '\n') s++;
        copy_field(out->p3, s, strcspn(s, "\r\n"));
    }
    for (char *p = out->cmd; *p; p++)
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
}

void search_options(const char *p2, const char *p3, int *from, int *max) {
    *from = 0;
    *max = 0;
    if (strcmp(p2, "-from") == 0)
        *from = cmd_atoi(p3);
    else if (strcmp(p2, "-max") == 0)
        *max = cmd_atoi(p3);
    option_in_rest(p3, "-from", from);
    option_in_rest(p3, "-max", max);
}

namespace {
// What a worker found for one stored field.
struct Verified {
    std::string stored;
    PassCheck r;
};

int check_user(const char *user, const char *pass, const Verified *seen, HeldReply *carry,
               bool may_rehash);

// A check waiting for its hash: the loop answers when the worker is done.
struct CheckJob final : WorkJob {
    std::string user;
    std::string pass;
    Verified v{};
    bool may_rehash = false;
    HeldReply to;
    ~CheckJob() override { OPENSSL_cleanse(pass.data(), pass.size()); }
    void compute() override { v.r = pass_hash_verify(v.stored.c_str(), pass.c_str()); }
    void finish() override {
        SinkBinding bound(to.sink());
        if (store_enter(false))
            check_user(user.c_str(), pass.c_str(), &v, &to, may_rehash);
        else
            store_say_failure();
        store_leave(false);
        rehash_run();
    }
};

// Hands the hash of stored off; the reply goes to carry's destination (a
// finishing check's) or the request's. False when it runs in line instead.
bool check_later(const char *user, const char *pass, const char *stored, HeldReply *carry,
                 bool may_rehash) {
    if (!kvoffload_bound()) return false;
    auto job = std::make_unique<CheckJob>();
    job->to = carry ? std::move(*carry) : HeldReply::take();
    if (!job->to) return false;
    job->user = user;
    job->pass = pass;
    job->v.stored = stored;
    job->may_rehash = may_rehash;
    CheckJob *mine = job.get();
    std::unique_ptr<WorkJob> w = std::move(job);
    if (kvoffload_submit(w)) return true;
    if (carry) *carry = std::move(mine->to);
    return false;
}

// The check from the user's current record. seen: a worker's result for the
// field the user had when the check was handed off; used only when the field
// is still the same, else the new field is verified (handed off again when
// it costs). 1 accepted, 0 refused or answered later.
int check_user(const char *user, const char *pass, const Verified *seen, HeldReply *carry,
               bool may_rehash) {
    UserView u;
    int found = store_find(user, &u);
    if (found == STORE_FAILED) return 0;
    if (found) {
        char info[1000];
        ncpy(info, u.info, 999);
        int ok = pass_decide(user, u.name, u.pass, info, pass);
        if (ok < 0) {
            if (seen && seen->stored == u.pass)
                ok = pass_conclude(user, u.pass, seen->r);
            else if (pass_hash_costly(u.pass) && check_later(user, pass, u.pass, carry, may_rehash))
                return 0;
            else
                ok = pass_conclude(user, u.pass, pass_hash_verify(u.pass, pass));
        }
        if (ok) {
            print_found(user, info);
            if (may_rehash) rehash_note(u.name, u.pass, pass);
            return 1;
        }
    } else {
        imsg("User not found (%s)\n", user);
    }
    buf_print("-ERR %s password wrong or not a valid user\n", user);
    return 0;
}
}  // namespace

int auth_check(const char *user, const char *pass) {
    imsg("db_check(%s,xxxx)\n", user);
    return check_user(user, pass, nullptr, nullptr, true);
}

void do_vers() {
    buf_print("+OK kvauth %s\n", kVersion);
}

int auth_testcrypt() {
    char name[32];
    for (int i = 0; i <= 999; i++) {
        snprintf(name, sizeof name, "test%d", i);
        // A self-test of the engine: its own quick scheme, whatever set
        // stores, so that a thousand checks neither stall nor rehash.
        auth_set_ssha(name, name, "");
        imsg("db_check(%s,xxxx)\n", name);
        check_user(name, name, nullptr, nullptr, false);
    }
    return 1;
}

namespace {
enum Use { kNone, kReads, kWrites };

void run_check(CmdLine &c) {
    auth_check(c.p1, c.p2);
}
void run_lookup(CmdLine &c) {
    auth_lookup(c.p1);
}
void run_set(CmdLine &c) {
    auth_set(c.p1, c.p2, c.p3);
}
void run_mod(CmdLine &c) {
    // The password never changes through mod, whatever p2 says.
    auth_mod(c.p1, "(NULL)", c.p3);
}
void run_del(CmdLine &c) {
    auth_del(c.p1, 0);
}
void run_testcrypt(CmdLine &) {
    auth_testcrypt();
}
void run_search(CmdLine &c) {
    int from, max;
    search_options(c.p2, c.p3, &from, &max);
    auth_search(c.p1, from, max);
}
// The session answers exit itself; here both end silently.
void run_quiet(CmdLine &) {}
void run_version(CmdLine &) {
    do_vers();
}
void run_help(CmdLine &) {
    do_help();
}

// The command set. Commands that may change users say so here, and only
// here: the store takes its write steps (the file store's lock) for them.
struct Command {
    const char *word;
    Use use;
    void (*run)(CmdLine &c);
};
constexpr Command kCommands[] = {
    {"check", kReads, run_check},
    {"lookup", kReads, run_lookup},
    {"search", kReads, run_search},
    {"set", kWrites, run_set},
    {"mod", kWrites, run_mod},
    {"del", kWrites, run_del},
    {"testcrypt", kWrites, run_testcrypt},
    {"quit", kNone, run_quiet},
    {"exit", kNone, run_quiet},
    {"version", kNone, run_version},
    {"help", kNone, run_help},
};
}  // namespace

const char *cmd_word(int i) {
    return i >= 0 && i < static_cast<int>(std::size(kCommands)) ? kCommands[i].word : nullptr;
}

// --- One request.
int engine_request(char *line, const ReplySink &sink) {
    SinkBinding bound(sink);
    return do_command(line);
}

void engine_after_reply() {
    rehash_run();
}

int do_command(char *line) {
    CmdLine c;
    cmd_split(line, &c);
    for (const Command &cmd : kCommands) {
        if (strcmp(c.cmd, cmd.word) != 0) continue;
        if (cmd.use == kNone) {
            cmd.run(c);
            return 1;
        }
        bool writes = cmd.use == kWrites;
        if (store_enter(writes))
            cmd.run(c);
        else
            store_say_failure();
        store_leave(writes);
        return 1;
    }
    buf_print("-ERR Invalid command (%s) use help\n", c.cmd);
    return 1;
}
