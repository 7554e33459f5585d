#include "pgauth/pgdb.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace {
PgSettings settings;
PGconn *conn;
std::string error_line;
// Numbers each connection made, so that a cache can tell that it may have
// missed notifications; and counts the statements sent.
uint64_t connections;
uint64_t statements;
bool listening;

// Statements prepared on every new connection. Names are stored lowercased
// (ASCII) as bytea, so order and comparisons are bytewise whatever the
// database's encoding and collation; info_lc is the information lowercased
// the same way, for the case-blind substring search.
struct Statement {
    const char *name;
    const char *sql;
    int nparams;
};
const Statement kStatements[] = {
    {"get", "SELECT pass, info FROM pgauth_users WHERE name = $1", 1},
    {"get_lock", "SELECT pass, info FROM pgauth_users WHERE name = $1 FOR UPDATE", 1},
    {"put",
     "INSERT INTO pgauth_users (name, pass, info, info_lc) VALUES ($1, $2, $3, $4) "
     "ON CONFLICT (name) DO UPDATE SET pass = EXCLUDED.pass, info = EXCLUDED.info, "
     "info_lc = EXCLUDED.info_lc",
     4},
    {"del", "DELETE FROM pgauth_users WHERE name = $1", 1},
    {"log", "INSERT INTO pgauth_changes (name, pass, info) VALUES ($1, $2, $3)", 3},
    {"count", "SELECT count(*) FROM pgauth_users", 0},
    {"page", "SELECT name, pass, info FROM pgauth_users WHERE name >= $1 ORDER BY name LIMIT 1000",
     1},
    {"page_sub",
     "SELECT name, pass, info FROM pgauth_users WHERE name >= $1 AND "
     "(position($2 in name) > 0 OR position($2 in info_lc) > 0) ORDER BY name LIMIT 1000",
     2},
};

// Every change of a user notifies the channel pgauth_users with the name in
// hex (names are bytes), and a TRUNCATE with an empty payload, whoever makes
// it: a pgauth, an import or an administrator's own SQL. The caches of all
// pgauth processes rely on it.
const char *kSchema =
    "CREATE TABLE IF NOT EXISTS pgauth_users ("
    " name bytea PRIMARY KEY, pass bytea NOT NULL, info bytea NOT NULL,"
    " info_lc bytea NOT NULL);"
    "CREATE TABLE IF NOT EXISTS pgauth_changes ("
    " id bigserial PRIMARY KEY, at timestamptz NOT NULL DEFAULT now(),"
    " name bytea NOT NULL, pass bytea NOT NULL, info bytea NOT NULL);"
    "CREATE OR REPLACE FUNCTION pgauth_notify() RETURNS trigger LANGUAGE plpgsql AS $$"
    " BEGIN"
    "  IF TG_OP = 'TRUNCATE' THEN PERFORM pg_notify('pgauth_users', ''); RETURN NULL; END IF;"
    "  IF TG_OP <> 'INSERT' THEN PERFORM pg_notify('pgauth_users', encode(OLD.name, 'hex'));"
    "  END IF;"
    "  IF TG_OP <> 'DELETE' THEN PERFORM pg_notify('pgauth_users', encode(NEW.name, 'hex'));"
    "  END IF;"
    "  RETURN NULL;"
    " END $$;"
    "DROP TRIGGER IF EXISTS pgauth_users_notify ON pgauth_users;"
    "CREATE TRIGGER pgauth_users_notify AFTER INSERT OR UPDATE OR DELETE ON pgauth_users"
    " FOR EACH ROW EXECUTE FUNCTION pgauth_notify();"
    "DROP TRIGGER IF EXISTS pgauth_users_truncate ON pgauth_users;"
    "CREATE TRIGGER pgauth_users_truncate AFTER TRUNCATE ON pgauth_users"
    " FOR EACH STATEMENT EXECUTE FUNCTION pgauth_notify()";

using Clock = std::chrono::steady_clock;

void notice_none(void *, const char *) {}

// libpq's messages run over several lines; a reply line takes the first.
std::string first_line(const char *msg) {
    std::string s(msg ? msg : "");
    s.resize(strcspn(s.c_str(), "\r\n"));
    if (s.size() > 200) s.resize(200);
    return s;
}

void fail(const std::string &line) {
    error_line = line;
}

void drop() {
    if (conn) PQfinish(conn);
    conn = nullptr;
}

// Waits for every result of the statement just sent; keeps the last.
// Null when the deadline passed or the connection broke.
PgRes collect() {
    auto deadline = Clock::now() + std::chrono::seconds(settings.statement_timeout + 2);
    PgRes last;
    for (;;) {
        while (PQisBusy(conn)) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{PQsocket(conn), POLLIN, 0};
            int n = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
            if (n == 0) {
                fail("-ERR database did not answer in time");
                if (PGcancel *c = PQgetCancel(conn)) {
                    char buf[256];
                    PQcancel(c, buf, sizeof buf);
                    PQfreeCancel(c);
                }
                drop();
                return nullptr;
            }
            if ((n < 0 && errno != EINTR) || (n > 0 && !PQconsumeInput(conn))) {
                fail("-ERR database unavailable (" + first_line(PQerrorMessage(conn)) + ")");
                drop();
                return nullptr;
            }
        }
        PGresult *r = PQgetResult(conn);
        if (!r) break;
        last.reset(r);
    }
    if (!last) fail("-ERR database unavailable (" + first_line(PQerrorMessage(conn)) + ")");
    return last;
}

// Turns a finished result into success or the failure line.
PgRes checked(PgRes r) {
    if (!r) {
        if (conn && PQstatus(conn) == CONNECTION_BAD) drop();
        return nullptr;
    }
    ExecStatusType st = PQresultStatus(r.get());
    if (st == PGRES_TUPLES_OK || st == PGRES_COMMAND_OK) return r;
    const char *state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
    std::string msg = first_line(PQresultErrorField(r.get(), PG_DIAG_MESSAGE_PRIMARY));
    if (state && strcmp(state, "25006") == 0)
        fail("-ERR database is read-only, changes are refused here");
    else if (state && strcmp(state, "57014") == 0)
        fail("-ERR database did not answer in time");
    else if (PQstatus(conn) == CONNECTION_BAD)
        fail("-ERR database unavailable (" + first_line(PQerrorMessage(conn)) + ")");
    else
        fail("-ERR database error (" + msg + ")");
    if (PQstatus(conn) == CONNECTION_BAD) drop();
    return nullptr;
}

// The statement could not even be sent.
PgRes send_failed() {
    fail("-ERR database unavailable (" + first_line(PQerrorMessage(conn)) + ")");
    return checked(nullptr);
}

PgRes run_simple(const char *sql) {
    statements++;
    if (!PQsendQuery(conn, sql)) return send_failed();
    return checked(collect());
}

// Creates the tables and the trigger unless all exist (an older database
// gets its trigger at the next start); a replica has them from its primary.
int make_schema() {
    PgRes r = run_simple(
        "SELECT 1 WHERE to_regclass('pgauth_users') IS NOT NULL AND "
        "to_regclass('pgauth_changes') IS NOT NULL AND (pg_is_in_recovery() OR"
        " (SELECT count(*) FROM pg_trigger WHERE tgrelid = to_regclass('pgauth_users') AND"
        " tgname IN ('pgauth_users_notify', 'pgauth_users_truncate')) = 2)");
    if (!r) return 0;
    if (PQntuples(r.get()) == 1) return 1;
    // Several processes start at once: one creates, the others wait for it.
    if (!run_simple("BEGIN")) return 0;
    if (!run_simple("SELECT pg_advisory_xact_lock(7243170)") || !run_simple(kSchema) ||
        !run_simple("COMMIT")) {
        std::string err = error_line;
        if (conn) run_simple("ROLLBACK");
        fail(err);
        return 0;
    }
    return 1;
}

int prepare_all() {
    for (const Statement &s : kStatements) {
        std::vector<Oid> types(static_cast<size_t>(s.nparams), 17);  // bytea
        if (!PQsendPrepare(conn, s.name, s.sql, s.nparams, types.data()))
            return send_failed() != nullptr;
        if (!checked(collect())) return 0;
    }
    return 1;
}

int connect_now() {
    std::string timeout = std::to_string(settings.connect_timeout);
    std::string options =
        "-c statement_timeout=" + std::to_string(settings.statement_timeout * 1000);
    std::vector<const char *> keys, values;
    // Values must outlive the call: settings, the locals above, or literals.
    auto add = [&](const char *k, const char *v) {
        if (!*v) return;
        keys.push_back(k);
        values.push_back(v);
    };
    add("host", settings.host.c_str());
    add("port", settings.port.c_str());
    add("dbname", settings.database.c_str());
    add("user", settings.user.c_str());
    add("password", settings.password.c_str());
    add("target_session_attrs", settings.target.c_str());
    add("connect_timeout", timeout.c_str());
    add("options", options.c_str());
    add("application_name", "pgauth");
    // Without these a peer that vanishes from the network leaves reads waiting.
    add("keepalives_idle", "10");
    add("keepalives_interval", "5");
    add("keepalives_count", "3");
    keys.push_back(nullptr);
    values.push_back(nullptr);
    conn = PQconnectdbParams(keys.data(), values.data(), 0);
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        fail("-ERR database unavailable (" +
             first_line(conn ? PQerrorMessage(conn) : "out of memory") + ")");
        drop();
        return 0;
    }
    PQsetNoticeProcessor(conn, notice_none, nullptr);
    if (!make_schema() || !prepare_all()) {
        drop();
        return 0;
    }
    // Listening starts before anything is read, so that no change after
    // this point goes unnoticed. A hot standby cannot listen: nothing may be
    // cached on its connections.
    listening = run_simple("LISTEN pgauth_users") != nullptr;
    if (!conn) return 0;
    connections++;
    return 1;
}

// A server that went away (restart, failover) closes the socket while we are
// idle; noticing it here saves the next request from failing on it.
void notice_broken() {
    pollfd p{PQsocket(conn), POLLIN, 0};
    if (poll(&p, 1, 0) > 0 && (!PQconsumeInput(conn) || PQstatus(conn) == CONNECTION_BAD)) drop();
}
}  // namespace

void pgdb_configure(const PgSettings &s) {
    drop();
    settings = s;
}

int pgdb_ready() {
    if (conn) notice_broken();
    if (conn && PQstatus(conn) == CONNECTION_OK) return 1;
    drop();
    return connect_now();
}

const char *pgdb_error() {
    return error_line.c_str();
}

PgRes pgdb_exec(const char *name, std::initializer_list<std::string_view> params) {
    if (!conn) {
        if (error_line.empty()) fail("-ERR database unavailable");
        return nullptr;
    }
    std::vector<const char *> values;
    std::vector<int> lengths, formats;
    for (std::string_view p : params) {
        values.push_back(p.data());
        lengths.push_back(static_cast<int>(p.size()));
        formats.push_back(1);
    }
    statements++;
    if (!PQsendQueryPrepared(conn, name, static_cast<int>(values.size()), values.data(),
                             lengths.data(), formats.data(), 1))
        return send_failed();
    return checked(collect());
}

int pgdb_simple(const char *sql) {
    if (!conn) return 0;
    return run_simple(sql) != nullptr;
}

void pgdb_close() {
    drop();
}

uint64_t pgdb_connection() {
    return conn ? connections : 0;
}

bool pgdb_listening() {
    return conn && listening;
}

uint64_t pgdb_statements() {
    return statements;
}

int pgdb_notifications(void (*fn)(const char *payload)) {
    if (conn && PQstatus(conn) != CONNECTION_OK) drop();
    if (!conn) return 0;
    for (;;) {
        while (PGnotify *n = PQnotifies(conn)) {
            fn(n->extra);
            PQfreemem(n);
        }
        pollfd p{PQsocket(conn), POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return 1;
        if (!PQconsumeInput(conn) || PQstatus(conn) == CONNECTION_BAD) {
            fail("-ERR database unavailable (" + first_line(PQerrorMessage(conn)) + ")");
            drop();
            return 0;
        }
    }
}

std::string pgdb_value(const PGresult *r, int row, int col) {
    return std::string(PQgetvalue(r, row, col), static_cast<size_t>(PQgetlength(r, row, col)));
}

int64_t pgdb_int8(const PGresult *r, int row, int col) {
    const unsigned char *b = reinterpret_cast<const unsigned char *>(PQgetvalue(r, row, col));
    if (PQgetlength(r, row, col) != 8) return 0;
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = (v << 8) | b[i];
    return static_cast<int64_t>(v);
}
