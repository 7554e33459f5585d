#include "pgauth/pgxfer.h"

#include <cerrno>
#include <cstring>

#include "engine/kvindex.h"
#include "lib/lib.h"
#include "pgauth/pgcmd.h"
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
    long applied = 0;
    // The engine's reader: 999-byte lines, a longer one read on as a line of its own.
    char buf[999];
    std::string stored;
    while (fgets(buf, sizeof buf, f.get())) {
        DbLine d;
        if (!db_parse_line(buf, &d)) continue;
        std::string user(d.user, static_cast<size_t>(d.user_len));
        std::string pass(d.pass, static_cast<size_t>(d.pass_len));
        std::string info(d.info, static_cast<size_t>(d.info_len));
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
            std::string line = pgdb_value(r.get(), i, 0) + ':' + pgdb_value(r.get(), i, 1) + ':' +
                               pgdb_value(r.get(), i, 2) + '\n';
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
