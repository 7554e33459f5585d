#include "pgauth/pgcmd.h"

#include <cstdlib>
#include <cstring>

#include "core/emsg.h"
#include "engine/kvcmd.h"
#include "engine/kvprint.h"
#include "engine/kvsearch.h"
#include "engine/kvset.h"
#include "engine/kvrules.h"
#include "authproc/pipeframe.h"
#include "pgauth/pgdb.h"

namespace {
constexpr size_t kField = 999;

struct Row {
    bool found = false;
    std::string pass;
    std::string info;
};

// The user's row; 0 when the database failed (found tells the rest).
int read_row(const std::string &name, bool lock, Row *row) {
    PgRes r = pgdb_exec(lock ? "get_lock" : "get", {name});
    if (!r) return 0;
    row->found = PQntuples(r.get()) > 0;
    if (row->found) {
        row->pass = pgdb_value(r.get(), 0, 0);
        row->info = pgdb_value(r.get(), 0, 1);
    }
    return 1;
}

int store(const std::string &name, const Row &row) {
    return pgdb_exec("put", {name, row.pass, row.info,
                             pg_lower(row.info.c_str(), row.info.size())}) != nullptr;
}

// Runs body in one transaction; 1 when it and the commit succeeded. On
// failure nothing of it stays and the failure line is printed, unless body
// already answered (answered set).
template <typename Body>
int in_transaction(Body body) {
    if (!pgdb_ready() || !pgdb_simple("BEGIN")) {
        buf_print("%s\n", pgdb_error());
        return 0;
    }
    bool answered = false;
    if (!body(&answered) || !pgdb_simple("COMMIT")) {
        std::string err = pgdb_error();
        pgdb_simple("ROLLBACK");
        if (!answered) buf_print("%s\n", err.c_str());
        return 0;
    }
    return 1;
}

int pg_set(const char *user, const char *pass, const char *info_in) {
    if (const char *refused = set_refusal(user, pass)) {
        emsg("%s", refused);
        buf_print("%s", refused);
        return 0;
    }
    std::string info(info_in, strnlen(info_in, kField));
    std::string given = strcmp(pass, "(NULL)") == 0 ? pass : str_encode(pass);
    // The same refusals as the file store, so that every row exports as a
    // line that reads back whole.
    if (const char *refused = line_refusal(user, given.c_str(), info.c_str())) {
        buf_print("%s", refused);
        return 0;
    }
    int ok = in_transaction([&](bool *) {
        std::string stored;
        return pg_apply(user, given.c_str(), info.c_str(), &stored) &&
               pgdb_exec("log", {user, stored, info}) != nullptr;
    });
    if (ok) buf_print("+OK %s added to database\n", user);
    return ok;
}

int pg_mod(const char *user, const char *addinfo) {
    std::string name = pg_lower(user);
    return in_transaction([&](bool *answered) {
        Row cur;
        if (!read_row(name, true, &cur)) return 0;
        if (!cur.found) {
            buf_print("-ERR No such user\n");
            *answered = true;
            return 1;
        }
        if (const char *refused = set_refusal(user, "(NULL)")) {
            buf_print("%s", refused);
            *answered = true;
            return 1;
        }
        std::string info = mod_info(cur.info.substr(0, kField).c_str(), addinfo);
        if (const char *refused = line_refusal(user, cur.pass.c_str(), info.c_str())) {
            buf_print("%s", refused);
            *answered = true;
            return 1;
        }
        std::string stored;
        if (!pg_apply(user, "(NULL)", info.c_str(), &stored) ||
            !pgdb_exec("log", {user, stored, info}))
            return 0;
        buf_print("+OK %s added to database\n", user);
        *answered = true;
        return 1;
    });
}

int pg_del(const char *user) {
    int ok = in_transaction([&](bool *) {
        std::string stored;
        return pg_apply(user, "(DELETE)", "(DELETE)", &stored) &&
               pgdb_exec("log", {user, "(DELETE)", "(DELETE)"}) != nullptr;
    });
    if (ok) buf_print("+OK Deleted user successfully\n");
    return ok;
}

// The user's row for check and lookup; prints the failure line itself.
int fetch(const char *user, Row *row) {
    if (!pgdb_ready() || !read_row(pg_lower(user), false, row)) {
        buf_print("%s\n", pgdb_error());
        return 0;
    }
    if (row->info.size() > kField) row->info.resize(kField);
    return 1;
}

int pg_check(const char *user, const char *pass) {
    Row row;
    if (!fetch(user, &row)) return 0;
    std::string name = pg_lower(user);
    if (row.found && pass_verify(user, name.c_str(), row.pass.c_str(), row.info.c_str(), pass)) {
        print_found(user, row.info.c_str());
        return 1;
    }
    if (!row.found) imsg("User not found (%s)\n", user);
    buf_print("-ERR %s password wrong or not a valid user\n", user);
    return 0;
}

int pg_lookup(const char *user) {
    Row row;
    if (!fetch(user, &row)) return 0;
    if (!row.found) {
        buf_print("-ERR %s not found\n", user);
        return 0;
    }
    print_found(user, row.info.c_str());
    return 1;
}

// Paging of search: matches number from to from + max - 1 are shown, and
// the walk stops at match from + max, which still counts.
struct Pager {
    int from, max, found = 0;
    bool show = true;
    Pager(int f, int m) : from(f), max(m) {
        if (from == 0)
            from = 1;
        else if (from > 1)
            show = false;
    }
    // Counts a match: 1 print it, 0 skip it, -1 stop the walk.
    int take() {
        found++;
        if (found >= from) show = true;
        if (!show) return 0;
        return max != 0 && found - from >= max ? -1 : 1;
    }
};

// Users come ordered by name, a page at a time. A wildcard pattern looks only
// at names; its literal start bounds the walk. A plain pattern is a
// case-blind substring of the name or the information, which the database
// narrows down first.
int pg_search(const char *match, int from, int max) {
    PgRes count;
    if (!pgdb_ready() || !(count = pgdb_exec("count", {}))) {
        buf_print("%s\n", pgdb_error());
        return 0;
    }
    long long total = PQntuples(count.get()) ? pgdb_int8(count.get(), 0, 0) : 0;
    std::string pat = pg_lower(match);
    bool wild = pat.find('*') != std::string::npos;
    std::string prefix = wild ? pat.substr(0, pat.find_first_of("*?[\\")) : "";
    Pager pager(from, max);
    std::string start = prefix;
    bool done = pat.empty();
    while (!done) {
        PgRes r = wild ? pgdb_exec("page", {start}) : pgdb_exec("page_sub", {start, pat});
        if (!r) {
            buf_print("%s\n", pgdb_error());
            return pager.found;
        }
        int rows = PQntuples(r.get());
        for (int i = 0; i < rows && !done; i++) {
            std::string name = pgdb_value(r.get(), i, 0);
            std::string info = pgdb_value(r.get(), i, 2);
            if (wild && name.compare(0, prefix.size(), prefix) != 0) {
                done = true;
                break;
            }
            bool hit =
                wild ? wild_match(pat.c_str(), name.c_str())
                     : zstrstrnc(name.c_str(), pat.c_str()) || zstrstrnc(info.c_str(), pat.c_str());
            if (!hit) continue;
            int t = pager.take();
            if (t < 0) done = true;
            if (t > 0) buf_print("+DATA %s %s\n", name.c_str(), info.c_str());
        }
        if (rows < PGDB_PAGE) break;
        // The smallest name after the last one of this page.
        start = pgdb_value(r.get(), rows - 1, 0) + '\0';
    }
    buf_print("+OK Search Complete %d items found out of %lld\n", pager.found, total);
    return pager.found;
}

int pg_testcrypt() {
    char name[32];
    for (int i = 0; i <= 999; i++) {
        snprintf(name, sizeof name, "test%d", i);
        pg_set(name, name, "");
        pg_check(name, name);
    }
    return 1;
}

// The engine's help, with a line on the order of search before its end.
void help_line(char *text) {
    if (strncmp(text, "+OK", 3) == 0) {
        char note[] = "+DATA \t(search lists matching users ordered by name)\n";
        frame_line(note);
    }
    frame_line(text);
}
}  // namespace

std::string pg_lower(const char *s, size_t max) {
    std::string out(s, strnlen(s, max));
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

int pg_apply(const char *user, const char *pass, const char *info, std::string *stored) {
    std::string name = pg_lower(user);
    if (strcmp(pass, "(DELETE)") == 0) {
        *stored = pass;
        return pgdb_exec("del", {name}) != nullptr;
    }
    bool keep = strcmp(pass, "(NULL)") == 0;
    bool block = strcmp(info, "(BLOCK)") == 0;
    bool unblock = strcmp(info, "(UNBLOCK)") == 0;
    Row cur;
    if ((keep || block || unblock) && !read_row(name, true, &cur)) return 0;
    *stored = !keep ? pass : cur.found ? cur.pass : "none";
    if (cur.found && (block || unblock)) {
        // The markers change only the information, as in the engine's index.
        std::string changed;
        if (!(block ? info_block(cur.info.c_str(), &changed)
                    : info_unblock(cur.info.c_str(), &changed)))
            return 1;
        return store(name, Row{true, cur.pass, changed});
    }
    return store(name, Row{true, *stored, info});
}

void pgauth_request(char *line, FILE *out) {
    frame_begin(out);
    buf_clear();
    kvauth_setprint(frame_line);
    CmdLine c;
    cmd_split(line, &c);
    const char *cmd = c.cmd;
    if (strcmp(cmd, "check") == 0) {
        pg_check(c.p1, c.p2);
    } else if (strcmp(cmd, "lookup") == 0) {
        pg_lookup(c.p1);
    } else if (strcmp(cmd, "set") == 0) {
        pg_set(c.p1, c.p2, c.p3);
    } else if (strcmp(cmd, "mod") == 0) {
        pg_mod(c.p1, c.p3);
    } else if (strcmp(cmd, "del") == 0) {
        pg_del(c.p1);
    } else if (strcmp(cmd, "search") == 0) {
        int from, max;
        search_options(c.p2, c.p3, &from, &max);
        pg_search(c.p1, from, max);
    } else if (strcmp(cmd, "testcrypt") == 0) {
        pg_testcrypt();
    } else {
        // version, help, quit and exit, and the invalid-command line: the
        // interpreter's own, none of which touches the engine's files.
        if (strcmp(cmd, "help") == 0) kvauth_setprint(help_line);
        do_command(line);
    }
    buf_clear();
    frame_end();
    fflush(out);
}

int pgauth_serve(FILE *in, FILE *out) {
    return frame_serve(in, out, pgauth_request);
}
