#include "pgauth/pgxfer.h"

#include <cerrno>
#include <cstring>

#include "engine/kvline.h"
#include "lib/lib.h"
#include "pgauth/pgstore.h"
#include "pgauth/pgdb.h"

namespace {
long failed(std::string *err) {
    *err = pgdb_error();
    pgdb_simple("ROLLBACK");
    return -1;
}
}  // namespace

long pgauth_import(const char *path, std::string *err) {
    FilePtr f(fopen(path, "r"));
    if (!f) {
        *err = std::string(path) + ": " + strerror(errno);
        return -1;
    }
    if (!pgdb_ready() || !pgdb_simple("BEGIN")) return failed(err);
    long applied = 0, lineno = 0;
    // The engine's own reader: what the engine would leave out stays out here.
    KvLineBuf line;
    std::string stored;
    for (ssize_t n; (n = line.read(f.get())) >= 0;) {
        lineno++;
        KvLine d;
        const char *fault;
        if (!kvline_parse(line.text(), static_cast<size_t>(n), &d, &fault)) {
            if (fault)
                fprintf(stderr, "pgauth: line %ld of %s %s, left out\n", lineno, path, fault);
            continue;
        }
        std::string user(d.user, d.user_len);
        std::string pass(d.pass, d.pass_len);
        std::string info(d.info, d.info_len);
        if (!pg_apply(user.c_str(), pass.c_str(), info.c_str(), &stored)) return failed(err);
        applied++;
    }
    if (!pgdb_simple("COMMIT")) return failed(err);
    return applied;
}

long pgauth_export(FILE *out, std::string *err) {
    if (!pgdb_ready() || !pgdb_simple("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"))
        return failed(err);
    long users = 0;
    std::string start;
    for (;;) {
        PgRes r = pgdb_exec("page", {start});
        if (!r) return failed(err);
        int rows = PQntuples(r.get());
        for (int i = 0; i < rows; i++) {
            std::string name = pgdb_value(r.get(), i, 0), pass = pgdb_value(r.get(), i, 1),
                        info = pgdb_value(r.get(), i, 2);
            // A line the engine would not read back as this user must not
            // pass for an export of it.
            if (kvline_check(name.c_str(), pass.c_str(), info.c_str()) != KVLINE_OK) {
                *err = "user " + name + " cannot be written as an engine database line";
                pgdb_simple("ROLLBACK");
                return -1;
            }
            std::string line = kvline_format(name.c_str(), pass.c_str(), info.c_str());
            if (fwrite(line.data(), 1, line.size(), out) != line.size()) {
                *err = std::string("write: ") + strerror(errno);
                pgdb_simple("ROLLBACK");
                return -1;
            }
            users++;
        }
        if (rows < PGDB_PAGE) break;
        start = pgdb_value(r.get(), rows - 1, 0) + '\0';
    }
    pgdb_simple("COMMIT");
    if (fflush(out) != 0) {
        *err = std::string("write: ") + strerror(errno);
        return -1;
    }
    return users;
}
