// The brake's goal, measured: a one-minute attack on one user while the
// user and others log in.
//
//   brake_soak [-t SECONDS]
//
// Starts a server in the fast loop with the brake on (5 failures, 60 s
// window, 15 s cap) and the request log. Fifty connections, each with an
// end-client address of its own, send 1000 guesses for "victim" between
// them, one in flight each, the right password hidden as guess 500. Meanwhile
// the victim logs in every 2 s from an address that logged in before the
// attack, and four connections check other users, each one check per 2 ms
// at most (about 2000 a second in all). Reports the
// guesses evaluated in the first minute, whether the hidden one was found,
// the victim's slowest login and the others' latency quantiles.
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/ld_sha.h"
#include "support/server_fixture.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kAttackers = 50;
constexpr int kGuesses = 1000;
constexpr int kHidden = 500;
constexpr int kOthers = 4;
constexpr int kUsers = 1000;
constexpr const char *kRight = "Right-pw-7";
constexpr const char *kKnown = "198.51.100.7";

struct Peer {
    ZvClient cli;
    enum { kAttacker, kVictim, kOther } role;
    int index = 0;
    bool busy = false;
    Clock::time_point sent;
    Clock::time_point next;  // others: paced, so latency is not queueing
    int id = 0;
};

std::string digest(const std::string &pw) {
    char dig[64];
    create_ssha_base64_digest(pw.c_str(), dig, sizeof dig);
    return std::string("{ssha}") + dig;
}
}  // namespace

int main(int argc, char **argv) {
    int seconds = 60;
    if (argc == 3 && std::string(argv[1]) == "-t") seconds = atoi(argv[2]);
    setenv("ZORVEX_TEST_LOOP", "fast", 1);
    TestServer s;
    std::string db = "victim:" + digest(kRight) + ":\n";
    for (int i = 1; i <= kUsers; i++)
        db += "user" + std::to_string(i) + ":" + digest("pw" + std::to_string(i)) + ":\n";
    write_file(s.db_dir() + "/kvauth.txt", db);
    s.extra_conf = {"brake_failures 5", "brake_window 60", "brake_max_delay 15",
                    "log_requests true", "log_secrets no"};
    if (!s.start()) {
        fprintf(stderr, "brake_soak: server did not start\n");
        return 1;
    }
    std::vector<Peer> peers(kAttackers + 1 + kOthers);
    for (size_t i = 0; i < peers.size(); i++) {
        Peer &p = peers[i];
        p.role = i < kAttackers ? Peer::kAttacker : i == kAttackers ? Peer::kVictim : Peer::kOther;
        p.index = static_cast<int>(i);
        if (!s.connect(&p.cli)) return 1;
    }
    // The victim's address logs in before the attack.
    Peer &victim = peers[kAttackers];
    if (s.request(&victim.cli, 1, std::string("check victim ") + kRight + " from=" + kKnown)
            .back()
            .rfind("1 +OK", 0) != 0)
        return 1;

    int next_guess = 0, evaluated = 0, refused = 0, found = 0, next_id = 10;
    double victim_max_ms = 0;
    int victim_logins = 0, victim_failed = 0;
    std::vector<double> other_ms;
    auto t0 = Clock::now();
    auto deadline = t0 + std::chrono::seconds(seconds);
    auto next_login = t0;
    std::vector<pollfd> pf(peers.size());
    std::string line;
    while (Clock::now() < deadline) {
        auto now = Clock::now();
        for (Peer &p : peers) {
            if (p.busy) continue;
            std::string cmd;
            if (p.role == Peer::kAttacker && next_guess < kGuesses) {
                int g = next_guess++;
                cmd = "check victim " +
                      (g == kHidden ? std::string(kRight) : "guess" + std::to_string(g)) +
                      " from=203.0.113." + std::to_string(p.index + 1);
            } else if (p.role == Peer::kVictim && now >= next_login) {
                cmd = std::string("check victim ") + kRight + " from=" + kKnown;
                next_login = now + std::chrono::seconds(2);
            } else if (p.role == Peer::kOther && now >= p.next) {
                p.next = now + std::chrono::milliseconds(2);
                int u = static_cast<int>((static_cast<long>(next_id) * 7919) % kUsers) + 1;
                cmd = "check user" + std::to_string(u) + " pw" + std::to_string(u) +
                      " from=198.51.100." + std::to_string(p.index);
            }
            if (cmd.empty()) continue;
            p.id = next_id++;
            p.busy = true;
            p.sent = now;
            if (!cli_send(&p.cli, p.id, cmd)) return 1;
        }
        for (size_t i = 0; i < peers.size(); i++) pf[i] = pollfd{peers[i].cli.fd.get(), POLLIN, 0};
        if (poll(pf.data(), pf.size(), 1) < 0) break;
        for (size_t i = 0; i < peers.size(); i++) {
            if (!(pf[i].revents & (POLLIN | POLLHUP))) continue;
            Peer &p = peers[i];
            if (cli_pump(&p.cli) < 0) return 1;
            while (cli_take_line(&p.cli, &line)) {
                int id = 0;
                std::string_view text;
                if (!cli_split_reply(line, &id, &text) || id != p.id) continue;
                if (text.starts_with("+DATA")) continue;
                double ms =
                    std::chrono::duration<double, std::milli>(Clock::now() - p.sent).count();
                p.busy = false;
                if (p.role == Peer::kAttacker) {
                    if (text.starts_with("+OK"))
                        found++, evaluated++;
                    else if (text.find("password wrong") != std::string_view::npos)
                        evaluated++;
                    else
                        refused++;
                } else if (p.role == Peer::kVictim) {
                    victim_logins++;
                    if (!text.starts_with("+OK")) victim_failed++;
                    victim_max_ms = std::max(victim_max_ms, ms);
                } else {
                    other_ms.push_back(ms);
                }
            }
        }
    }
    std::sort(other_ms.begin(), other_ms.end());
    auto pct = [&](double q) {
        return other_ms.empty() ? 0.0
                                : other_ms[std::min(other_ms.size() - 1,
                                                    static_cast<size_t>(q * other_ms.size()))];
    };
    printf(
        "attack: %d guesses sent in %d s, %d evaluated, %d refused unevaluated, hidden password "
        "%s\n",
        next_guess, seconds, evaluated, refused, found ? "FOUND" : "not found");
    printf("victim from a known address: %d logins, %d failed, slowest %.1f ms\n", victim_logins,
           victim_failed, victim_max_ms);
    printf("other users: %zu checks, p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", other_ms.size(),
           pct(0.5), pct(0.99), other_ms.empty() ? 0.0 : other_ms.back());
    s.stop();
    // The server's own view (the request log's ms=): time in the server
    // alone, without the scheduling of this client on a busy machine.
    std::vector<double> server_ms;
    std::string log = s.log();
    for (size_t a = 0; (a = log.find("user=user", a)) != std::string::npos; a++) {
        size_t m = log.find(" ms=", a);
        if (m != std::string::npos) server_ms.push_back(atof(log.c_str() + m + 4));
    }
    std::sort(server_ms.begin(), server_ms.end());
    if (!server_ms.empty())
        printf("other users, in the server: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
               server_ms[server_ms.size() / 2], server_ms[server_ms.size() * 99 / 100],
               server_ms.back());
    return 0;
}
