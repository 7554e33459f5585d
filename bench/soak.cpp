// Soak test (not run by CI): a real engine-mode zorvexsvr under mixed load
// for a long time, checking that it neither grows nor loses changes.
//
//   soak [-t SECONDS] [-c CONNS] [-u USERS] [-w WARMUP_SECONDS] [-m churn]
//        [-i INTERVAL_SECONDS] [-g SET_USERS]
//
// CONNS connections (default 300) each keep one request in flight: checks of
// generated users (10% with a wrong password), lookups, and sets and
// deletions of users that belong to the connection's slot, so the expected
// state of every user is known. Connections are dropped at random, some with
// a request still in flight (that user's state is then unknown until its
// next acknowledged change). Resident memory and open descriptors of the
// server are read from /proc after the warm-up and at the end, with every
// connection open both times. After the run the server is stopped through
// its exit file and started again on the same files, and every user whose
// state is known is looked up and checked. Exit status 0 when every reply and
// every user matched and memory and descriptors stayed within 10%.
//
// -m churn: only sets and deletions of the connections' own users (CONNS x 40
// of them); the mean time of a change and the server's CPU time per change
// are printed for every interval (-i, default 60 s), and memory and CPU per
// change must stay within 20% of the first interval after the warm-up in
// every later one (the time a change takes also follows the machine's load).
// -g N: instead of the soak, 1,000 warm-up sets then 4,000 sets cycling over
// N users on one connection; prints the growth of resident memory per set.
#include <dirent.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "engine/ld_sha.h"
#include "support/server_fixture.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr int kOwnedPerSlot = 40;

struct Options {
    int seconds = 600;
    int conns = 300;
    int users = 20000;
    int warmup = 60;
    int interval = 60;
    bool churn = false;
    int set_users = 0;
};

// What the database should say about one user.
struct Expect {
    bool known = true;  // false while a change of it went unanswered
    bool exists = false;
    std::string pass;
    std::string info;
};

struct Slot {
    ZvClient cli;
    bool busy = false;
    int id = 0;
    std::string expect;  // the reply text the request must get
    int owned = -1;      // the owned user a change is about, or -1
    Expect after;        // that user's state once the change is acknowledged
    Clock::time_point sent_at;
};

std::string base_name(int i) {
    char b[32];
    snprintf(b, sizeof b, "base%06d", i);
    return b;
}

std::string base_pass(int i) {
    return "bp" + std::to_string(i);
}

std::string base_info(int i) {
    return "quota=\"" + std::to_string(i % 977) + "\"";
}

std::string owned_name(int slot, int k) {
    char b[32];
    snprintf(b, sizeof b, "own%03dx%02d", slot, k);
    return b;
}

void generate(const std::string &path, int n) {
    FILE *f = fopen(path.c_str(), "w");
    char dig[64];
    for (int i = 1; i <= n; i++) {
        create_ssha_base64_digest(base_pass(i).c_str(), dig, sizeof dig);
        fprintf(f, "%s:{ssha}%s:%s\n", base_name(i).c_str(), dig, base_info(i).c_str());
    }
    fclose(f);
}

long rss_kb(int pid) {
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t p = status.find("VmRSS:");
    return p == std::string::npos ? -1 : atol(status.c_str() + p + 6);
}

// Processor time the server has used, user and system, in seconds.
double cpu_seconds(int pid) {
    std::string st = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t p = st.rfind(')');
    if (p == std::string::npos) return -1;
    unsigned long long utime = 0, stime = 0;
    // After the name: state and ten more fields, then utime and stime.
    if (sscanf(st.c_str() + p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
               &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int open_fds(int pid) {
    std::string d = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(d.c_str());
    if (!dir) return -1;
    int n = 0;
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.') n++;
    closedir(dir);
    return n;
}

bool parse(int argc, char **argv, Options *o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        int v = atoi(argv[i + 1]);
        if (a == "-t")
            o->seconds = v;
        else if (a == "-c")
            o->conns = v;
        else if (a == "-u")
            o->users = v;
        else if (a == "-w")
            o->warmup = v;
        else if (a == "-i")
            o->interval = v;
        else if (a == "-g")
            o->set_users = v;
        else if (a == "-m" && std::string(argv[i + 1]) == "churn")
            o->churn = true;
        else
            return false;
    }
    return argc % 2 == 1 && o->conns > 0 && o->conns <= 900 && o->users > 0 && o->seconds > 0 &&
           o->interval > 0;
}

class Soak {
   public:
    Soak(TestServer *s, const Options &o)
        : s_(s),
          o_(o),
          slots_(static_cast<size_t>(o.conns)),
          owned_(static_cast<size_t>(o.conns) * kOwnedPerSlot) {}

    bool connect_all() {
        for (auto &sl : slots_)
            if (!s_->connect(&sl.cli)) return false;
        return true;
    }

    // Runs until the deadline; at the warm-up mark, takes the first figures.
    bool run() {
        auto t0 = Clock::now();
        auto warm = t0 + std::chrono::seconds(o_.warmup);
        auto deadline = t0 + std::chrono::seconds(o_.seconds);
        bool measured = false;
        auto next_note = t0 + std::chrono::seconds(o_.interval);
        std::vector<pollfd> pf(slots_.size());
        while (Clock::now() < deadline) {
            if (Clock::now() >= next_note) {
                next_note += std::chrono::seconds(o_.interval);
                double change_ms = write_n ? write_s / static_cast<double>(write_n) * 1e3 : 0;
                long rss = rss_kb(s_->pid());
                double cpu = cpu_seconds(s_->pid());
                double cpu_us = write_n ? (cpu - cpu_mark) / static_cast<double>(write_n) * 1e6 : 0;
                cpu_mark = cpu;
                fprintf(stderr,
                        "soak: %lld s: rss %ld kB, %d descriptors, %ld requests, "
                        "%ld changes at %.3f ms, server CPU %.0f us per change\n",
                        static_cast<long long>(
                            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - t0)
                                .count()),
                        rss, open_fds(s_->pid()), sent, write_n, change_ms, cpu_us);
                if (measured) {
                    interval_ms.push_back(change_ms);
                    interval_cpu_us.push_back(cpu_us);
                    interval_rss.push_back(rss);
                }
                write_s = 0;
                write_n = 0;
            }
            if (!measured && Clock::now() >= warm) {
                if (!quiesce()) return false;
                rss_warm = rss_kb(s_->pid());
                fds_warm = open_fds(s_->pid());
                measured = true;
            }
            for (size_t i = 0; i < slots_.size(); i++) {
                if (!slots_[i].busy && !send_one(static_cast<int>(i))) return false;
                pf[i] = pollfd{slots_[i].cli.fd.get(), POLLIN, 0};
            }
            if (poll(pf.data(), pf.size(), 2000) < 0) return false;
            for (size_t i = 0; i < slots_.size(); i++)
                if ((pf[i].revents & (POLLIN | POLLHUP)) && !receive(static_cast<int>(i)))
                    return false;
        }
        if (!quiesce()) return false;
        rss_end = rss_kb(s_->pid());
        fds_end = open_fds(s_->pid());
        return measured;
    }

    // After a restart on the same files: every known user as expected.
    long verify() {
        ZvClient c;
        if (!s_->connect(&c)) return -1;
        long bad = 0;
        int id = 1;
        for (int slot = 0; slot < o_.conns; slot++) {
            for (int k = 0; k < kOwnedPerSlot; k++) {
                const Expect &e = owned_[static_cast<size_t>(slot * kOwnedPerSlot + k)];
                if (!e.known) continue;
                std::string n = owned_name(slot, k);
                std::string want =
                    e.exists ? "+OK " + n + " config 0 " + e.info : "-ERR " + n + " not found";
                bad += !reply_is(s_->request(&c, id, "lookup " + n), id, want);
                id++;
                if (!e.exists) continue;
                bad += !reply_is(s_->request(&c, id, "check " + n + " " + e.pass), id, want);
                id++;
                verified++;
            }
        }
        return bad;
    }

    long sent = 0, answered = 0, wrong = 0, dropped = 0, reconnects = 0, changes = 0;
    long rss_warm = 0, rss_end = 0, verified = 0;
    std::vector<double> interval_ms;  // mean time of a change, per interval after the warm-up
    std::vector<long> interval_rss;
    std::vector<double> interval_cpu_us;  // server CPU time per change
    int fds_warm = 0, fds_end = 0;

   private:
    static bool reply_is(const std::vector<std::string> &lines, int id, const std::string &want) {
        return lines.size() == 1 && lines[0] == std::to_string(id) + " " + want;
    }

    Expect &owned(int slot, int k) { return owned_[static_cast<size_t>(slot * kOwnedPerSlot + k)]; }

    bool send_one(int i) {
        Slot &sl = slots_[static_cast<size_t>(i)];
        int roll = static_cast<int>(rng_() % 100);
        int k = static_cast<int>(rng_() % kOwnedPerSlot);
        std::string cmd;
        sl.owned = -1;
        if (o_.churn) roll = roll < 50 ? 70 : 90;
        if (roll < 50) {
            int u = static_cast<int>(rng_() % static_cast<unsigned>(o_.users)) + 1;
            std::string n = base_name(u);
            bool good = rng_() % 10 != 0;
            cmd = "check " + n + " " + (good ? base_pass(u) : "wrong");
            sl.expect = good ? "+OK " + n + " config 0 " + base_info(u)
                             : "-ERR " + n + " password wrong or not a valid user";
        } else if (roll < 70) {
            std::string n = owned_name(i, k);
            const Expect &e = owned(i, k);
            cmd = "lookup " + n;
            sl.expect = !e.known   ? ""
                        : e.exists ? "+OK " + n + " config 0 " + e.info
                                   : "-ERR " + n + " not found";
        } else if (roll < 90) {
            std::string n = owned_name(i, k);
            sl.owned = k;
            sl.after = Expect{true, true, "p" + std::to_string(rng_() % 100000),
                              "quota=\"" + std::to_string(rng_() % 100000) + "\""};
            cmd = "set " + n + " " + sl.after.pass + " " + sl.after.info;
            sl.expect = "+OK " + n + " added to database";
        } else {
            std::string n = owned_name(i, k);
            sl.owned = k;
            sl.after = Expect{};
            cmd = "del " + n;
            // A deletion is acknowledged whether or not the user exists.
            sl.expect = "+OK Deleted user successfully";
        }
        sl.id++;
        sl.sent_at = Clock::now();
        if (!cli_send(&sl.cli, sl.id, cmd)) return reconnect(i);
        sl.busy = true;
        sent++;
        // Now and then the client goes away before its reply comes.
        if (rng_() % 1000 < 3) return reconnect(i);
        return true;
    }

    bool receive(int i) {
        Slot &sl = slots_[static_cast<size_t>(i)];
        if (cli_pump(&sl.cli) < 0) {
            fprintf(stderr, "soak: server closed connection %d\n", i);
            return false;
        }
        std::string line;
        while (cli_take_line(&sl.cli, &line)) {
            int id = 0;
            std::string_view text;
            cli_split_reply(line, &id, &text);
            if (!sl.busy || id != sl.id) {
                if (wrong++ < 10) fprintf(stderr, "soak: stray reply %s\n", line.c_str());
                continue;
            }
            sl.busy = false;
            answered++;
            if (sl.owned >= 0) {
                write_s += std::chrono::duration<double>(Clock::now() - sl.sent_at).count();
                write_n++;
            }
            bool ok = sl.expect.empty() || text == sl.expect;
            if (!ok && wrong++ < 10)
                fprintf(stderr, "soak: got '%s' wanted '%s'\n", line.c_str(), sl.expect.c_str());
            if (sl.owned >= 0 && text.substr(0, 3) == "+OK") {
                owned(i, sl.owned) = sl.after;
                changes++;
            }
        }
        // Now and then the client goes away after its reply.
        if (rng_() % 1000 < 10) return reconnect(i);
        return true;
    }

    bool reconnect(int i) {
        Slot &sl = slots_[static_cast<size_t>(i)];
        if (sl.busy) {
            dropped++;
            if (sl.owned >= 0) owned(i, sl.owned).known = false;
            sl.busy = false;
        }
        cli_close(&sl.cli);
        sl.cli = ZvClient{};
        reconnects++;
        if (!s_->connect(&sl.cli)) {
            fprintf(stderr, "soak: reconnect failed: %s\n", sl.cli.error.c_str());
            return false;
        }
        return true;
    }

    // Lets every request in flight finish, so figures are taken at rest.
    bool quiesce() {
        auto until = Clock::now() + std::chrono::seconds(30);
        for (size_t i = 0; i < slots_.size(); i++) {
            Slot &sl = slots_[i];
            while (sl.busy && Clock::now() < until) {
                pollfd p{sl.cli.fd.get(), POLLIN, 0};
                poll(&p, 1, 200);
                if (cli_pump(&sl.cli) < 0) return false;
                std::string line;
                while (cli_take_line(&sl.cli, &line)) {
                    int id = 0;
                    std::string_view text;
                    cli_split_reply(line, &id, &text);
                    if (id != sl.id) continue;
                    sl.busy = false;
                    answered++;
                    if (!sl.expect.empty() && text != sl.expect) wrong++;
                    if (sl.owned >= 0 && text.substr(0, 3) == "+OK") {
                        owned(static_cast<int>(i), sl.owned) = sl.after;
                        changes++;
                    }
                }
            }
            if (sl.busy) return false;
        }
        // Closed channels are freed on the server's next cycles.
        usleep(500000);
        return true;
    }

    TestServer *s_;
    Options o_;
    std::vector<Slot> slots_;
    std::vector<Expect> owned_;
    std::mt19937 rng_{20240611};
    double write_s = 0;
    long write_n = 0;
    double cpu_mark = 0;
};

// Sets cycling over n users on one connection: resident memory after 1,000
// and after 4,000 more. Bytes per set, or -1.
double set_growth(TestServer *s, int n) {
    ZvClient c;
    if (!s->connect(&c)) return -1;
    long warm = 0;
    for (int i = 0; i < 5000; i++) {
        if (i == 1000) warm = rss_kb(s->pid());
        std::string u = "g" + std::to_string(i % n), v = std::to_string(i);
        std::string cmd = "set " + u + " *p" + v + " quota=\"" + v + "\"";
        if (s->request(&c, i, cmd) !=
            std::vector<std::string>{std::to_string(i) + " +OK " + u + " added to database"})
            return -1;
    }
    return static_cast<double>(rss_kb(s->pid()) - warm) * 1024 / 4000;
}

bool within(double end, double warm) {
    return end <= warm * 1.10 && end >= warm * 0.90;
}
}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        fprintf(stderr, "usage: soak [-t SECONDS] [-c CONNS] [-u USERS] [-w WARMUP_SECONDS]\n");
        return 2;
    }
    if (o.warmup >= o.seconds) o.warmup = o.seconds / 10;
    TestServer s;
    generate(s.db_dir() + "/kvauth.txt", o.users);
    if (!s.start()) {
        fprintf(stderr, "soak: server did not start\n");
        return 1;
    }
    if (o.set_users > 0) {
        double per_set = set_growth(&s, o.set_users);
        printf("soak: sets over %d users: %.0f bytes of resident memory per set\n", o.set_users,
               per_set);
        s.stop();
        return per_set >= 0 && per_set <= 300 ? 0 : 1;
    }
    Soak k(&s, o);
    if (!k.connect_all()) {
        fprintf(stderr, "soak: could not connect\n");
        return 1;
    }
    auto t0 = Clock::now();
    bool ran = k.run();
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    printf(
        "soak: %d connections, %d users, %.0f s: %ld requests, %ld answered, %ld wrong, "
        "%ld abandoned in flight, %ld reconnects, %ld acknowledged changes\n",
        o.conns, o.users, secs, k.sent, k.answered, k.wrong, k.dropped, k.reconnects, k.changes);
    printf(
        "soak: after warm-up (%d s): rss %ld kB, %d descriptors; at the end: rss %ld kB, "
        "%d descriptors\n",
        o.warmup, k.rss_warm, k.fds_warm, k.rss_end, k.fds_end);
    bool stopped = s.stop(30000);
    bool restarted = s.start(false);
    long bad = restarted ? k.verify() : -1;
    printf("soak: stopped by exit file: %s; after restart %ld users checked, %ld mismatches\n",
           stopped ? "yes" : "no", k.verified, bad);
    s.stop();
    bool ok = ran && stopped && bad == 0 && k.wrong == 0 && within(k.fds_end, k.fds_warm);
    if (o.churn) {
        bool flat = k.interval_ms.size() >= 2;
        for (size_t i = 1; flat && i < k.interval_ms.size(); i++)
            flat = k.interval_cpu_us[i] <= k.interval_cpu_us[0] * 1.2 &&
                   k.interval_rss[i] <= k.interval_rss[0] * 1.2;
        if (!k.interval_ms.empty())
            printf(
                "soak: a change took %.3f ms (%.0f us of server CPU) with %ld kB resident in "
                "the first interval after the warm-up; %.3f ms (%.0f us), %ld kB in the last\n",
                k.interval_ms.front(), k.interval_cpu_us.front(), k.interval_rss.front(),
                k.interval_ms.back(), k.interval_cpu_us.back(), k.interval_rss.back());
        ok = ok && flat;
    } else {
        ok = ok && within(static_cast<double>(k.rss_end), static_cast<double>(k.rss_warm));
    }
    printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
