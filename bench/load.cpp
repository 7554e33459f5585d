// Load client: drives a real zorvexsvr over enciphered connections and
// verifies every reply.
//
//   load [-c CONNS] [-k INFLIGHT] [-u USERS] [-n REQUESTS] [-t SECONDS]
//        [-lookup PCT] [-set PCT] [-pool KVAUTH -procs N] [-lat FILE] [-idle N]
//        [-conf LINE]... [-from 1]
//
// It starts its own server in a temporary directory with USERS generated
// users (user000001 ..., {ssha} passwords pw000001 ..., info quota="N"),
// opens CONNS connections, keeps INFLIGHT requests in flight on each, and
// sends REQUESTS requests (or runs for SECONDS): checks with 10% wrong
// passwords, plus the given shares of lookups and sets. It reports requests
// per second, latency p50/p99/max, and the server's CPU time per request and
// resident memory, read from /proc. With -pool, the server runs in pool mode
// with N copies of the given kvauth program serving the same directory.
// Each -conf adds a line to the server's configuration (the production
// profile's keys); -from 1 makes every check carry an end-client address,
// one per user (each user logs in from a place of its own).
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/ld_sha.h"
#include "support/server_fixture.h"

namespace {
using Clock = std::chrono::steady_clock;

struct Options {
    int conns = 64;
    int inflight = 8;
    int users = 100000;
    long requests = 200000;
    int seconds = 60;
    int lookup_pct = 0;
    int set_pct = 0;
    std::string pool;
    int procs = 3;
    std::string lat_file;  // latency quantiles for plotting
    int idle = 0;          // enciphered connections held open without requests
    std::vector<std::string> conf;
    bool from = false;
};

struct Pending {
    std::string expect;  // the final reply text expected
    Clock::time_point sent;
};

struct Conn {
    ZvClient cli;
    std::unordered_map<int, Pending> pending;
};

std::string user_name(int i) {
    char b[32];
    snprintf(b, sizeof b, "user%06d", i);
    return b;
}

std::string password(int i) {
    char b[32];
    snprintf(b, sizeof b, "pw%06d", i);
    return b;
}

std::string info(int i) {
    return "quota=\"" + std::to_string(i % 1000) + "\"";
}

// Writes the user database with {ssha} digests.
void generate(const std::string &path, int n) {
    FILE *f = fopen(path.c_str(), "w");
    char dig[64];
    for (int i = 1; i <= n; i++) {
        create_ssha_base64_digest(password(i).c_str(), dig, sizeof dig);
        fprintf(f, "%s:{ssha}%s:%s\n", user_name(i).c_str(), dig, info(i).c_str());
    }
    fclose(f);
}

// utime + stime in seconds, and resident memory in kB, of a process.
void proc_usage(int pid, double *cpu, long *rss_kb) {
    std::string st = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t rp = st.rfind(')');
    *cpu = 0;
    if (rp != std::string::npos) {
        // Fields after the command: state is field 3; utime 14, stime 15.
        std::vector<std::string> f;
        size_t p = rp + 2;
        while (p < st.size() && f.size() < 14) {
            size_t q = st.find(' ', p);
            f.push_back(st.substr(p, q - p));
            p = q + 1;
        }
        if (f.size() >= 13)
            *cpu = static_cast<double>(atol(f[11].c_str()) + atol(f[12].c_str())) /
                   static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t p = status.find("VmRSS:");
    *rss_kb = p == std::string::npos ? -1 : atol(status.c_str() + p + 6);
}

bool parse(int argc, char **argv, Options *o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        const char *v = argv[i + 1];
        if (a == "-c")
            o->conns = atoi(v);
        else if (a == "-k")
            o->inflight = atoi(v);
        else if (a == "-u")
            o->users = atoi(v);
        else if (a == "-n")
            o->requests = atol(v);
        else if (a == "-t")
            o->seconds = atoi(v);
        else if (a == "-lookup")
            o->lookup_pct = atoi(v);
        else if (a == "-set")
            o->set_pct = atoi(v);
        else if (a == "-pool")
            o->pool = v;
        else if (a == "-procs")
            o->procs = atoi(v);
        else if (a == "-lat")
            o->lat_file = v;
        else if (a == "-idle")
            o->idle = atoi(v);
        else if (a == "-conf")
            o->conf.push_back(v);
        else if (a == "-from")
            o->from = atoi(v) != 0;
        else
            return false;
    }
    return (argc % 2) == 1 && o->conns > 0 && o->inflight > 0 && o->users > 0;
}
}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        fprintf(stderr,
                "usage: load [-c CONNS] [-k INFLIGHT] [-u USERS] [-n REQUESTS] [-t SECONDS] "
                "[-lookup PCT] [-set PCT] [-pool KVAUTH -procs N] [-lat FILE] [-idle N] "
                "[-conf LINE]... [-from 1]\n");
        return 2;
    }
    // Room for thousands of connections on this side too.
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    TestServer s;
    generate(s.db_dir() + "/kvauth.txt", o.users);
    if (!o.pool.empty()) {
        // The pool passes no arguments: a wrapper gives kvauth its directory.
        std::string wrapper = s.file("authenticator.sh");
        write_file(wrapper, "#!/bin/sh\nexec " + o.pool + " -path " + s.db_dir() + "\n");
        chmod(wrapper.c_str(), 0755);
        s.extra_conf.push_back("authent_process " + wrapper);
        s.extra_conf.push_back("authent_number " + std::to_string(o.procs));
    }
    for (const std::string &l : o.conf) s.extra_conf.push_back(l);
    if (!s.start()) {
        fprintf(stderr, "load: server did not start\n");
        return 1;
    }
    std::vector<Conn> conns(static_cast<size_t>(o.conns));
    for (auto &c : conns)
        if (!s.connect(&c.cli)) {
            fprintf(stderr, "load: connect failed: %s\n", c.cli.error.c_str());
            return 1;
        }
    std::vector<ZvClient> idle(static_cast<size_t>(std::max(o.idle, 0)));
    for (auto &c : idle)
        if (!s.connect(&c)) {
            fprintf(stderr, "load: idle connect failed: %s\n", c.error.c_str());
            return 1;
        }
    // The first request builds nothing (the index is built at start-up) but
    // replays the add file: do it before measuring.
    s.request(&conns[0].cli, 1, "lookup user000001");

    std::mt19937 rng(42);
    std::vector<double> lat;
    lat.reserve(static_cast<size_t>(o.requests));
    long sent = 0, done = 0, bad = 0;
    int next_id = 1;
    double cpu0;
    long rss0;
    proc_usage(s.pid(), &cpu0, &rss0);
    auto t0 = Clock::now();
    auto deadline = t0 + std::chrono::seconds(o.seconds);
    std::vector<pollfd> pf(conns.size());
    std::string line;
    while ((sent < o.requests || done < sent) && Clock::now() < deadline) {
        for (size_t i = 0; i < conns.size(); i++) {
            Conn &c = conns[i];
            std::string batch;
            while (static_cast<int>(c.pending.size()) < o.inflight && sent < o.requests) {
                int u = static_cast<int>(rng() % static_cast<unsigned>(o.users)) + 1;
                int roll = static_cast<int>(rng() % 100);
                int id = next_id++;
                std::string name = user_name(u), cmd, expect;
                if (roll < o.set_pct) {
                    cmd = "set " + name + " " + password(u) + " " + info(u);
                    expect = "+OK " + name + " added to database";
                } else if (roll < o.set_pct + o.lookup_pct) {
                    cmd = "lookup " + name;
                    expect = "+OK " + name + " config 0 " + info(u);
                } else if (rng() % 10 == 0) {
                    cmd = "check " + name + " wrong";
                    expect = "-ERR " + name + " password wrong or not a valid user";
                } else {
                    cmd = "check " + name + " " + password(u);
                    expect = "+OK " + name + " config 0 " + info(u);
                }
                if (o.from && cmd.starts_with("check "))
                    cmd += " from=10." + std::to_string(u >> 16 & 255) + "." +
                           std::to_string(u >> 8 & 255) + "." + std::to_string(u & 255);
                batch += std::to_string(id) + " " + cmd + "\n";
                c.pending[id] = Pending{expect, Clock::now()};
                sent++;
            }
            if (!batch.empty() && !cli_send_raw(&c.cli, batch)) {
                fprintf(stderr, "load: send failed: %s\n", c.cli.error.c_str());
                return 1;
            }
            pf[i] = pollfd{c.cli.fd.get(), POLLIN, 0};
        }
        if (poll(pf.data(), pf.size(), 1000) < 0) break;
        for (size_t i = 0; i < conns.size(); i++) {
            if (!(pf[i].revents & (POLLIN | POLLHUP))) continue;
            Conn &c = conns[i];
            if (cli_pump(&c.cli) < 0) {
                fprintf(stderr, "load: connection lost: %s\n", c.cli.error.c_str());
                return 1;
            }
            while (cli_take_line(&c.cli, &line)) {
                int id = 0;
                std::string_view text;
                cli_split_reply(line, &id, &text);
                auto it = c.pending.find(id);
                if (it == c.pending.end()) {
                    bad++;
                    continue;
                }
                if (text != it->second.expect) {
                    if (bad++ < 5) fprintf(stderr, "load: unexpected reply: %s\n", line.c_str());
                }
                lat.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - it->second.sent)
                        .count());
                c.pending.erase(it);
                done++;
            }
        }
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    double cpu1;
    long rss1;
    proc_usage(s.pid(), &cpu1, &rss1);
    std::sort(lat.begin(), lat.end());
    auto pct = [&](double p) {
        return lat.empty() ? 0.0
                           : lat[std::min(lat.size() - 1, static_cast<size_t>(p * lat.size()))];
    };
    if (!o.lat_file.empty() && !lat.empty()) {
        FILE *lf = fopen(o.lat_file.c_str(), "w");
        for (int q = 0; lf && q <= 1000; q++) fprintf(lf, "%.3f %.1f\n", q / 10.0, pct(q / 1000.0));
        if (lf) fclose(lf);
    }
    printf("mode: %s, %d connections x %d in flight, %d users\n",
           o.pool.empty() ? "engine" : ("pool x" + std::to_string(o.procs)).c_str(), o.conns,
           o.inflight, o.users);
    printf("requests: %ld answered of %ld sent in %.2f s, %ld wrong replies\n", done, sent, secs,
           bad);
    printf("rate: %.0f requests/s\n", static_cast<double>(done) / secs);
    printf("latency us: p50 %.0f  p99 %.0f  max %.0f\n", pct(0.50), pct(0.99),
           lat.empty() ? 0.0 : lat.back());
    printf("server cpu: %.2f s, %.2f us/request; rss %ld kB (%.0f bytes/user)\n", cpu1 - cpu0,
           done ? (cpu1 - cpu0) * 1e6 / static_cast<double>(done) : 0.0, rss1,
           static_cast<double>(rss1) * 1024.0 / o.users);
    s.stop();
    return bad == 0 && done == sent ? 0 : 1;
}
