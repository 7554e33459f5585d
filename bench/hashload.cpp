// Costly hashes beside cheap checks: a real zorvexsvr in engine mode (fast
// loop unless -classic), HASHERS connections checking a yescrypt user one
// request at a time each, while one more connection times {ssha} checks.
//
//   hashload [-h HASHERS] [-w HASH_THREADS] [-n SSHA_CHECKS] [-t SECONDS]
//            [-gap MS] [-server PATH] [-classic]
//
// The {ssha} checks come MS (default 1) milliseconds apart. Prints their latency p50/p99/max and
// the yescrypt checks per second over the same span. -server runs another build's zorvexsvr (to
// compare).
#include <crypt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/server_fixture.h"

namespace {
using Clock = std::chrono::steady_clock;

struct Options {
    int hashers = 8;
    int threads = 2;
    int checks = 2000;
    int seconds = 60;
    std::string server;
    bool classic = false;
    int gap_ms = 1;
};

bool parse(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-classic") {
            o->classic = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char *v = argv[++i];
        if (a == "-h")
            o->hashers = atoi(v);
        else if (a == "-w")
            o->threads = atoi(v);
        else if (a == "-n")
            o->checks = atoi(v);
        else if (a == "-t")
            o->seconds = atoi(v);
        else if (a == "-gap")
            o->gap_ms = atoi(v);
        else if (a == "-server")
            o->server = v;
        else
            return false;
    }
    return o->hashers >= 0 && o->checks > 0 && o->seconds > 0;
}

std::string yescrypt(const char *pass) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_data d{};
    if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, salt, sizeof salt)) return "";
    const char *r = crypt_r(pass, salt, &d);
    return r && r[0] == '$' ? r : "";
}

double quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}
}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        fprintf(stderr,
                "usage: hashload [-h HASHERS] [-w HASH_THREADS] [-n SSHA_CHECKS] "
                "[-t SECONDS] [-gap MS] [-server PATH] [-classic]\n");
        return 2;
    }
    const std::string yfield = yescrypt("slowpw");
    if (yfield.empty()) {
        fprintf(stderr, "hashload: this crypt(3) makes no yescrypt field\n");
        return 1;
    }
    TestServer s;
    write_file(s.db_dir() + "/kvauth.txt",
               "slow:" + yfield + ":\nquick:{ssha}FIl0w8Dy+6HmIQnVPd3kwEAvP3YA/xCA:q\n");
    if (!o.classic) s.extra_conf.push_back("loop fast");
    s.extra_conf.push_back("hash_threads " + std::to_string(o.threads));
    // Another build's daemon, given the same command line.
    if (!o.server.empty()) s.launcher = {"/bin/sh", "-c", "exec \"$0\" \"$2\" \"$3\"", o.server};
    if (!s.start()) {
        fprintf(stderr, "hashload: server did not start\n");
        return 1;
    }
    std::vector<ZvClient> slow(static_cast<size_t>(o.hashers));
    ZvClient quick;
    for (auto &c : slow)
        if (!s.connect(&c)) return 1;
    if (!s.connect(&quick)) return 1;
    s.request(&quick, 1, "lookup quick");

    std::atomic<bool> stop{false};
    std::atomic<long> hashed{0}, bad{0};
    std::vector<std::thread> hashers;
    for (auto &c : slow)
        hashers.emplace_back([&c, &stop, &hashed, &bad] {
            std::string line;
            for (int id = 1; !stop; id++) {
                cli_send(&c, id, "check slow slowpw");
                if (cli_read_line(&c, &line, 10000) != 1) return;
                if (line == std::to_string(id) + " +OK slow config 0 ")
                    hashed++;
                else
                    bad++;
            }
        });
    // Let every hasher have a request in flight before timing.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    long h0 = hashed;
    std::vector<double> lat;
    std::string line;
    auto t0 = Clock::now(), deadline = t0 + std::chrono::seconds(o.seconds);
    for (int i = 0; i < o.checks && Clock::now() < deadline; i++) {
        auto t = Clock::now();
        cli_send(&quick, i + 2, "check quick s3cret");
        if (cli_read_line(&quick, &line, 10000) != 1 ||
            line != std::to_string(i + 2) + " +OK quick config 0 q") {
            bad++;
            break;
        }
        lat.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
        // A steady trickle, as mail logins come, rather than a flood.
        std::this_thread::sleep_for(std::chrono::milliseconds(o.gap_ms));
    }
    double span = std::chrono::duration<double>(Clock::now() - t0).count();
    long done = hashed - h0;
    stop = true;
    for (auto &t : hashers) t.join();
    s.stop();
    printf("loop %s, hash_threads %d, %d yescrypt connections\n", o.classic ? "classic" : "fast",
           o.threads, o.hashers);
    printf("{ssha} checks: %zu, p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", lat.size(),
           quantile(lat, 0.5), quantile(lat, 0.99), quantile(lat, 1.0));
    printf("yescrypt checks: %ld in %.1f s, %.1f per second\n", done, span,
           static_cast<double>(done) / span);
    if (bad) printf("wrong replies: %ld\n", static_cast<long>(bad));
    return bad ? 1 : 0;
}
