#include "pg_cluster.h"

#include <glob.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "support/server_fixture.h"

namespace {
constexpr const char *kSuperuser = "zorvex";

// The newest installed server version's directory of binaries, or "".
std::string bin_dir() {
    glob_t g;
    std::string best;
    if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; i++) {
            std::string p = g.gl_pathv[i];
            std::string d = p.substr(0, p.size() - 7);
            // Version directories compare numerically: 9 < 10 < 15.
            auto ver = [](const std::string &s) {
                return atoi(s.c_str() + strlen("/usr/lib/postgresql/"));
            };
            if (best.empty() || ver(d) > ver(best)) best = d;
        }
    }
    globfree(&g);
    return best;
}

const passwd *runner() {
    return getuid() == 0 ? getpwnam("nobody") : getpwuid(getuid());
}

// Runs a server program, as nobody when we are root.
RunResult run_pg(const std::vector<std::string> &args, int timeout_s = 120) {
    std::vector<std::string> argv;
    if (getuid() == 0) {
        const passwd *pw = runner();
        argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(pw->pw_uid),
                "--regid=" + std::to_string(pw->pw_gid), "--clear-groups", "--"};
    }
    argv.push_back(bin_dir() + "/" + args[0]);
    argv.insert(argv.end(), args.begin() + 1, args.end());
    return run_program(argv, "", "/", timeout_s);
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
    if (running_) stop();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

bool PgCluster::start() {
    if (dir_.empty() || !unavailable().empty()) return false;
    if (!initialised_) {
        RunResult r = run_pg({"initdb", "-D", dir_ + "/data", "-U", kSuperuser, "-A", "trust", "-E",
                              "UTF8", "--locale=C", "--no-sync", "--no-instructions"});
        if (r.status != 0) return false;
        initialised_ = true;
    }
    RunResult r = run_pg(
        {"pg_ctl", "-D", dir_ + "/data", "-l", dir_ + "/server.log", "-w", "-t", "60", "-o",
         "-k " + dir_ + " -c listen_addresses='' -c fsync=off -c max_connections=60", "start"});
    running_ = r.status == 0;
    return running_;
}

bool PgCluster::stop() {
    RunResult r = run_pg({"pg_ctl", "-D", dir_ + "/data", "-w", "-t", "60", "-m", "fast", "stop"});
    running_ = r.status != 0 && running_;
    return r.status == 0;
}

std::string PgCluster::sql(const std::string &statement) const {
    std::string info =
        "host=" + dir_ + " user=" + kSuperuser + " dbname=postgres connect_timeout=10";
    PGconn *c = PQconnectdb(info.c_str());
    std::string err;
    if (PQstatus(c) != CONNECTION_OK) {
        err = PQerrorMessage(c);
    } else {
        PGresult *r = PQexec(c, statement.c_str());
        ExecStatusType st = PQresultStatus(r);
        if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) err = PQresultErrorMessage(r);
        PQclear(r);
    }
    PQfinish(c);
    return err;
}

std::string PgCluster::conf_lines() const {
    return "pg_host " + dir_ + "\npg_user " + kSuperuser +
           "\npg_database postgres\npg_connect_timeout 3\npg_statement_timeout 5\n";
}

std::string PgCluster::log() const {
    return read_file(dir_ + "/server.log");
}
