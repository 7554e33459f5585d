#include "pg_cluster.h"

#include <glob.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "support/server_fixture.h"

namespace {
constexpr const char *kSuperuser = "zorvex";
constexpr size_t kPrefix = sizeof "/usr/lib/postgresql/" - 1;

// The newest installed server version's directory of binaries, or "".
std::string bin_dir() {
    glob_t g;
    std::string best;
    // Version directories compare numerically: 9 < 10 < 15.
    if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &g) == 0)
        for (size_t i = 0; i < g.gl_pathc; i++)
            if (best.empty() || atoi(g.gl_pathv[i] + kPrefix) > atoi(best.c_str() + kPrefix))
                best = g.gl_pathv[i];
    globfree(&g);
    return best.substr(0, best.size() - sizeof "/initdb" + 1);
}

const passwd *runner() {
    return getuid() == 0 ? getpwnam("nobody") : getpwuid(getuid());
}

// Runs a server program, as nobody when we are root.
bool run_pg(std::vector<std::string> args) {
    args[0] = bin_dir() + "/" + args[0];
    if (getuid() == 0)
        args.insert(args.begin(),
                    {"/usr/bin/setpriv", "--reuid=" + std::to_string(runner()->pw_uid),
                     "--regid=" + std::to_string(runner()->pw_gid), "--clear-groups", "--"});
    return run_program(args, "", "/", 120).status == 0;
}
}  // namespace

std::string PgCluster::unavailable() {
    if (bin_dir().empty()) return "PostgreSQL server binaries not installed (scripts/pg-setup.sh)";
    if (getuid() == 0 && (!runner() || access("/usr/bin/setpriv", X_OK) != 0))
        return "running as root without the user nobody or setpriv to run initdb as";
    return "";
}

PgCluster::PgCluster() {
    char tmpl[] = "/tmp/zorvex-pg-XXXXXX";
    if (mkdtemp(tmpl)) dir_ = tmpl;
    if (!dir_.empty() && getuid() == 0 && runner())
        if (chown(dir_.c_str(), runner()->pw_uid, runner()->pw_gid) != 0) dir_.clear();
}

PgCluster::~PgCluster() {
    if (std::filesystem::exists(dir_ + "/data/postmaster.pid")) stop();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

bool PgCluster::start() {
    if (dir_.empty() || !unavailable().empty()) return false;
    if (!std::filesystem::exists(dir_ + "/data") &&
        !run_pg({"initdb", "-D", dir_ + "/data", "-U", kSuperuser, "-A", "trust", "-E", "UTF8",
                 "--locale=C", "--no-sync", "--no-instructions"}))
        return false;
    return run_pg(
        {"pg_ctl", "-D", dir_ + "/data", "-l", dir_ + "/server.log", "-w", "-t", "60", "-o",
         "-k " + dir_ + " -c listen_addresses='' -c fsync=off -c max_connections=60", "start"});
}

bool PgCluster::stop() {
    return run_pg({"pg_ctl", "-D", dir_ + "/data", "-w", "-t", "60", "-m", "fast", "stop"});
}

std::string PgCluster::sql(const std::string &statement, std::string *first) const {
    std::string info =
        "host=" + dir_ + " user=" + kSuperuser + " dbname=postgres connect_timeout=10";
    PGconn *c = PQconnectdb(info.c_str());
    std::string err = PQstatus(c) == CONNECTION_OK ? "" : PQerrorMessage(c);
    if (err.empty()) {
        PGresult *r = PQexec(c, statement.c_str());
        ExecStatusType st = PQresultStatus(r);
        if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) err = PQresultErrorMessage(r);
        if (first && st == PGRES_TUPLES_OK && PQntuples(r) > 0) *first = PQgetvalue(r, 0, 0);
        PQclear(r);
    }
    PQfinish(c);
    return err;
}

std::string PgCluster::conf_lines() const {
    return "pg_host " + dir_ + "\npg_user " + kSuperuser +
           "\npg_database postgres\npg_connect_timeout 3\npg_statement_timeout 5\n";
}
