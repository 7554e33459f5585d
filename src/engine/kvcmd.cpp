#include "engine/kvcmd.h"

#include "engine/kvprint.h"
#include "engine/kvrefresh.h"
#include "engine/kvsearch.h"
#include "engine/kvset.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "engine/flock.h"
#include "engine/kvindex.h"
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

int auth_check(const char *user, const char *pass) {
    char info[1000] = "";
    if (db_check(user, pass, info)) {
        print_found(user, info);
        return 1;
    }
    buf_print("-ERR %s password wrong or not a valid user\n", user);
    return 0;
}

void do_vers() {
    buf_print("+OK kvauth %s\n", kVersion);
}

int auth_testcrypt() {
    char name[32];
    for (int i = 0; i <= 999; i++) {
        snprintf(name, sizeof name, "test%d", i);
        auth_set(name, name, "");
        auth_check(name, name);
    }
    return 1;
}

namespace {
bool is_one_of(const char *cmd, std::initializer_list<const char *> words) {
    for (const char *w : words)
        if (strcmp(cmd, w) == 0) return true;
    return false;
}
}  // namespace

int do_command(char *line) {
    CmdLine c;
    cmd_split(line, &c);
    const char *cmd = c.cmd;
    // Other processes may have changed the database since the last request.
    // A change holds the lock from that look to its own append (and
    // rebuild), so that no other process's rebuild comes between. An index
    // that was never built is loaded by the command itself.
    bool change = is_one_of(cmd, {"set", "mod", "del"});
    if (change) auth_lock();
    if (auth_index_built() &&
        (change || is_one_of(cmd, {"check", "lookup", "search", "testcrypt"})))
        kvrefresh_before();
    if (strcmp(cmd, "check") == 0) {
        auth_check(c.p1, c.p2);
    } else if (strcmp(cmd, "lookup") == 0) {
        auth_lookup(c.p1);
    } else if (strcmp(cmd, "set") == 0) {
        auth_set(c.p1, c.p2, c.p3);
    } else if (strcmp(cmd, "mod") == 0) {
        // The password never changes through mod, whatever p2 says.
        auth_mod(c.p1, "(NULL)", c.p3);
    } else if (strcmp(cmd, "del") == 0) {
        auth_del(c.p1, 0);
    } else if (strcmp(cmd, "testcrypt") == 0) {
        auth_testcrypt();
    } else if (strcmp(cmd, "search") == 0) {
        int from, max;
        search_options(c.p2, c.p3, &from, &max);
        auth_search(c.p1, from, max);
    } else if (strcmp(cmd, "quit") == 0 || strcmp(cmd, "exit") == 0) {
        // The session answers exit itself; here both end silently.
    } else if (strcmp(cmd, "version") == 0) {
        do_vers();
    } else if (strcmp(cmd, "help") == 0) {
        do_help();
    } else {
        buf_print("-ERR Invalid command (%s) use help\n", cmd);
    }
    if (change) {
        kvrefresh_note();
        auth_unlock();
    }
    return 1;
}
