// Scraper for bench/metrics.sh: fetches /metrics from 127.0.0.1:PORT as
// Prometheus does (OpenMetrics asked for first), every INTERVAL_MS, until
// SECONDS have passed or SIGTERM comes, then prints how many scrapes were
// answered and their mean size. "scrape -free" prints a free loopback port.
//
//   scrape PORT INTERVAL_MS SECONDS
#include <csignal>
#include <chrono>
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
}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::string(argv[1]) == "-free") {
        printf("%d\n", free_port());
        return 0;
    }
    if (argc != 4 || atoi(argv[1]) <= 0 || atoi(argv[2]) <= 0 || atoi(argv[3]) <= 0) {
        fprintf(stderr, "usage: scrape PORT INTERVAL_MS SECONDS | scrape -free\n");
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
