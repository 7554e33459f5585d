// Scraper for bench/metrics.sh: fetches /metrics from 127.0.0.1:PORT as
// Prometheus does (OpenMetrics asked for first), every INTERVAL_MS, until
// SECONDS have passed or SIGTERM comes, then prints how many scrapes were
// answered and their mean size. "scrape -free" prints a free loopback port.
// "scrape -cost N" starts a server of its own (the loop ZORVEX_TEST_LOOP
// names), serves a few checks, then scrapes it N times back to back and
// prints the server's CPU time per scrape, less what it spends idle: the
// figure that the rounds of bench/metrics.sh are too noisy to show.
//
//   scrape PORT INTERVAL_MS SECONDS | scrape -free | scrape -cost N
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/http.h"
#include "support/server_fixture.h"

namespace {
volatile sig_atomic_t stop_now = 0;
void on_term(int) {
    stop_now = 1;
}

// utime + stime of a process, in microseconds.
double cpu_us(int pid) {
    std::string st = read_file("/proc/" + std::to_string(pid) + "/stat");
    unsigned long ut = 0, stime = 0;
    size_t rp = st.rfind(')');
    if (rp == std::string::npos ||
        sscanf(st.c_str() + rp + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut,
               &stime) != 2)
        return 0;
    return static_cast<double>(ut + stime) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int cost(int n) {
    TestServer s;
    const int port = free_port();
    s.extra_conf = {"metrics_listen 127.0.0.1:" + std::to_string(port)};
    write_file(s.db_dir() + "/kvauth.txt", "alice:*pw:\n");
    ZvClient c;
    if (!s.start() || !s.connect(&c)) return fprintf(stderr, "scrape: no server\n"), 1;
    // Every request family and histogram bucket a busy server shows.
    for (int i = 1; i <= 100; i++) s.request(&c, i, i % 10 ? "check alice pw" : "check alice no");
    s.request(&c, 101, "lookup alice");
    long bytes = 0;
    auto t0 = std::chrono::steady_clock::now();
    double c0 = cpu_us(s.pid());
    for (int i = 0; i < n; i++) bytes += static_cast<long>(http_get(port, "/metrics").body.size());
    double busy = cpu_us(s.pid()) - c0;
    auto took = std::chrono::steady_clock::now() - t0;
    // The same time idle: the loop's own ticks are no scrape's cost.
    c0 = cpu_us(s.pid());
    std::this_thread::sleep_for(took);
    double each = (busy - (cpu_us(s.pid()) - c0)) / n;
    printf(
        "scrape cost: %.1f us of server CPU per scrape (%ld bytes); every 100 ms: %.3f%% of "
        "one core\n",
        each, bytes / n, each * 10 / 1e4);
    return 0;
}
}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::string(argv[1]) == "-free") {
        printf("%d\n", free_port());
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "-cost" && atoi(argv[2]) > 0)
        return cost(atoi(argv[2]));
    if (argc != 4 || atoi(argv[1]) <= 0 || atoi(argv[2]) <= 0 || atoi(argv[3]) <= 0) {
        fprintf(stderr, "usage: scrape PORT INTERVAL_MS SECONDS | scrape -free | scrape -cost N\n");
        return 2;
    }
    const int port = atoi(argv[1]);
    const auto every = std::chrono::milliseconds(atoi(argv[2]));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(atoi(argv[3]));
    signal(SIGTERM, on_term);
    long ok = 0, failed = 0, bytes = 0;
    // A fixed rate, not a fixed pause: a slow answer does not thin the scrapes.
    for (auto next = std::chrono::steady_clock::now(); !stop_now && next < end; next += every) {
        HttpReply r = http_get(port, "/metrics",
                               "application/openmetrics-text;version=1.0.0,text/plain;q=0.5", 2000);
        if (r.status == 200)
            ok++, bytes += static_cast<long>(r.body.size());
        else
            failed++;
        std::this_thread::sleep_until(next + every);
    }
    printf("scrapes: %ld answered, %ld failed, %ld bytes each\n", ok, failed, ok ? bytes / ok : 0);
    return 0;
}
