#include "pgauth/pgstore.h"

#include <cstring>
#include <unordered_map>

#include "engine/kvprint.h"
#include "engine/kvrules.h"
#include "pgauth/pgdb.h"

namespace {
struct Row {
    bool found = false;
    std::string pass;
    std::string info;
};

std::unordered_map<std::string, Row> cache;
size_t cache_bytes;
// The connection whose notifications the cache has seen.
uint64_t cache_connection;
// Within a request that writes, rows are read locked in a transaction and
// not from the cache; a change commits before its reply.
bool writing, in_transaction;
Row locked;
std::string failure_line;

int failed() {
    failure_line = pgdb_error();
    return 0;
}

void cache_clear() {
    cache.clear();
    cache_bytes = 0;
}

int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void drop(const std::string &name) {
    auto it = cache.find(name);
    if (it == cache.end()) return;
    cache_bytes -=
        PG_CACHE_ENTRY + it->first.size() + it->second.pass.size() + it->second.info.size();
    cache.erase(it);
}

// A notification: the changed name in hex, or "" for every user.
void forget(const char *payload) {
    std::string name;
    for (const char *p = payload; p[0] && p[1]; p += 2) {
        int hi = hex(p[0]), lo = hex(p[1]);
        if (hi < 0 || lo < 0) break;
        name += static_cast<char>(hi * 16 + lo);
    }
    if (name.empty())
        cache_clear();
    else
        drop(name);
}

// Connected, and the cache agrees with every change notified so far. A
// connection found broken here (the server restarted, the backend was ended)
// is replaced once before the request fails; the cache never outlives it.
int ready() {
    for (int attempt = 0; attempt < 2; attempt++) {
        // A live connection is looked at once per request, by reading its
        // notifications, which also finds it broken.
        if (!pgdb_connection() && !pgdb_ready()) break;
        // A new connection: what the cache holds may have changed unnoticed.
        if (pgdb_connection() != cache_connection) {
            cache_clear();
            cache_connection = pgdb_connection();
        }
        if (pgdb_notifications(forget)) return 1;
    }
    cache_clear();
    return failed();
}

// The user's row; 0 when the database failed (found tells the rest).
int read_row(const std::string &name, bool lock, Row *row) {
    PgRes r = pgdb_exec(lock ? "get_lock" : "get", {name});
    if (!r) return failed();
    row->found = PQntuples(r.get()) > 0;
    row->pass = row->found ? pgdb_value(r.get(), 0, 0) : "";
    row->info = row->found ? pgdb_value(r.get(), 0, 1) : "";
    return 1;
}

int store_row(const std::string &name, const Row &row) {
    return pgdb_exec("put", {name, row.pass, row.info,
                             pg_lower(row.info.c_str(), row.info.size())}) != nullptr;
}

int open_transaction() {
    if (in_transaction) return 1;
    if (!ready() || !pgdb_simple("BEGIN")) return failed();
    in_transaction = true;
    return 1;
}

int begin(bool writes) {
    writing = writes;
    return 1;
}

void end(bool) {
    if (in_transaction) pgdb_simple("ROLLBACK");
    in_transaction = writing = false;
}

int view(const std::string &name, const Row &row, UserView *out) {
    if (!row.found) return STORE_MISSING;
    *out = UserView{name.c_str(), row.pass.c_str(), row.info.c_str()};
    return STORE_FOUND;
}

int find(const char *user, UserView *out) {
    static std::string name;
    name = pg_lower(user);
    if (writing) {
        if (!open_transaction() || !read_row(name, true, &locked)) return STORE_FAILED;
        return view(name, locked, out);
    }
    if (!ready()) return STORE_FAILED;
    if (!pgdb_listening()) {
        if (!read_row(name, false, &locked)) return STORE_FAILED;
        return view(name, locked, out);
    }
    auto it = cache.find(name);
    if (it == cache.end()) {
        Row row;
        if (!read_row(name, false, &row)) return STORE_FAILED;
        size_t bytes = PG_CACHE_ENTRY + name.size() + row.pass.size() + row.info.size();
        if (cache_bytes + bytes > PG_CACHE_BYTES) cache_clear();
        cache_bytes += bytes;
        it = cache.emplace(name, std::move(row)).first;
    }
    return view(it->first, it->second, out);
}

int put(const char *user, const char *pass, const char *info, const char *ack) {
    if (!open_transaction()) return 0;
    std::string stored;
    int ok = pg_apply(user, pass, info, &stored) && pgdb_exec("log", {user, stored, info}) &&
             pgdb_simple("COMMIT");
    if (!ok) {
        failed();
        pgdb_simple("ROLLBACK");
    }
    in_transaction = false;
    // Our own change is answered right at the next request, before its
    // notification comes back.
    drop(pg_lower(user));
    if (ok && ack) buf_print("%s", ack);
    return ok;
}

// Users come ordered by name, a page at a time. A wildcard pattern looks only
// at names; its literal start bounds the walk. A plain pattern is a
// case-blind substring of the name or the information, which the database
// narrows down first.
int walk(const char *pattern, int (*fn)(const UserView &u, void *arg), void *arg) {
    if (!ready()) return STORE_FAILED;
    std::string pat = pattern;
    if (pat.empty()) return 1;
    bool wild = pat.find('*') != std::string::npos;
    std::string prefix = wild ? pat.substr(0, pat.find_first_of("*?[\\")) : "";
    std::string start = prefix;
    for (;;) {
        PgRes r = wild ? pgdb_exec("page", {start}) : pgdb_exec("page_sub", {start, pat});
        if (!r) return failed(), STORE_FAILED;
        int rows = PQntuples(r.get());
        for (int i = 0; i < rows; i++) {
            std::string name = pgdb_value(r.get(), i, 0), pass = pgdb_value(r.get(), i, 1),
                        info = pgdb_value(r.get(), i, 2);
            if (wild && name.compare(0, prefix.size(), prefix) != 0) return 1;
            if (!fn(UserView{name.c_str(), pass.c_str(), info.c_str()}, arg)) return 0;
        }
        if (rows < PGDB_PAGE) return 1;
        // The smallest name after the last one of this page.
        start = pgdb_value(r.get(), rows - 1, 0) + '\0';
    }
}

long count() {
    if (!ready()) return STORE_FAILED;
    PgRes r = pgdb_exec("count", {});
    if (!r) return failed(), STORE_FAILED;
    return PQntuples(r.get()) ? static_cast<long>(pgdb_int8(r.get(), 0, 0)) : 0;
}

const char *failure() {
    return failure_line.c_str();
}

void close_store() {
    end(true);
    cache_clear();
    pgdb_close();
}

const UserStore kPgStore = {
    begin,   end,         find,
    put,     walk,        count,
    failure, close_store, "+DATA \t(search lists matching users ordered by name)"};
}  // namespace

const UserStore &pg_store() {
    return kPgStore;
}

size_t pg_cache_size() {
    return cache.size();
}

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
        return store_row(name, Row{true, cur.pass, changed});
    }
    return store_row(name, Row{true, *stored, info});
}
