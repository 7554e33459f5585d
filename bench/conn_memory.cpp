// Memory of idle enciphered connections: starts a daemon, opens N connections
// (default 2000) that each complete the handshake, and reports the daemon's
// resident memory growth per connection, read from /proc.
//   conn_memory [N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/server_fixture.h"

namespace {
long rss_kb(int pid) {
    std::string st = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t p = st.find("VmRSS:");
    return p == std::string::npos ? -1 : atol(st.c_str() + p + 6);
}
}  // namespace

int main(int argc, char **argv) {
    int n = argc > 1 ? atoi(argv[1]) : 2000;
    TestServer s;
    if (!s.start()) {
        fprintf(stderr, "server did not start\n");
        return 1;
    }
    std::vector<ZvClient> warm(1);
    s.connect(&warm[0]);  // creates the secret file and warms the allocator
    long before = rss_kb(s.pid());
    auto t0 = std::chrono::steady_clock::now();
    std::vector<ZvClient> cs(static_cast<size_t>(n));
    int ok = 0;
    for (auto &c : cs) ok += s.connect(&c) ? 1 : 0;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    long after = rss_kb(s.pid());
    printf("connections: %d enciphered of %d, opened in %.1f s\n", ok, n, secs);
    printf("server RSS: %ld kB before, %ld kB after\n", before, after);
    if (ok > 0) printf("per connection: %.1f kB\n", static_cast<double>(after - before) / ok);
    s.stop();
    return ok == n ? 0 : 1;
}
