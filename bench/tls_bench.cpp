// The TLS port against the plain one, on a fast-loop daemon with certificates
// made by the openssl command: checks per second at 1 and 64 connections with
// one request in flight each, new TLS connections per second with and
// without resumption, and the daemon's memory per idle connection.
//   tls_bench [SECONDS per check run (default 5)] [IDLE connections (default 1000)]
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/server_fixture.h"

namespace {
using Clock = std::chrono::steady_clock;

long rss_kb(int pid) {
    std::string st = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t p = st.find("VmRSS:");
    return p == std::string::npos ? -1 : atol(st.c_str() + p + 6);
}

// The daemon's CPU time so far, in microseconds (user + system).
double cpu_us(int pid) {
    std::string st = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t rp = st.rfind(')');
    if (rp == std::string::npos) return 0;
    unsigned long ut = 0, stime = 0;
    if (sscanf(st.c_str() + rp + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut,
               &stime) != 2)
        return 0;
    return static_cast<double>(ut + stime) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool make_pki(const TempDir &d) {
    std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    std::string sh =
        "set -e; umask 077; printf 'subjectAltName=IP:127.0.0.1\\n' >san\n"
        "openssl req -x509" +
        ec +
        " -keyout ca.key -out ca.pem -days 2 -subj /CN=ca\n"
        "openssl req" +
        ec +
        " -keyout server.key -out server.csr -subj /CN=s\n"
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -days 2 "
        "-extfile san -out server.pem\n";
    return run_program({"/bin/sh", "-c", sh}, "", d.path()).status == 0;
}

// Opens a connection to port, over TLS when tls, with the handshake done.
bool open_conn(TestServer &s, int port, bool tls, const TlsClientOptions &o, ZvClient *c) {
    if (!cli_connect(c, "127.0.0.1", port, 5000)) return false;
    if (tls && !cli_tls(c, "127.0.0.1", o, 5000)) return false;
    return cli_encrypt(c, s.secret(), false, 5000) == 1;
}

// Checks per second over n connections, one request in flight on each.
double checks_per_s(TestServer &s, int port, bool tls, const TlsClientOptions &o, int n,
                    double secs) {
    std::vector<ZvClient> cs(static_cast<size_t>(n));
    for (auto &c : cs)
        if (!open_conn(s, port, tls, o, &c)) return -1;
    std::vector<pollfd> pf(cs.size());
    for (size_t i = 0; i < cs.size(); i++) {
        pf[i] = {cs[i].fd.get(), POLLIN, 0};
        cli_send(&cs[i], 1, "check bob pw");
    }
    long done = 0;
    auto t0 = Clock::now();
    auto end = t0 + std::chrono::milliseconds(static_cast<long>(secs * 1000));
    std::string line;
    while (Clock::now() < end) {
        if (poll(pf.data(), pf.size(), 1000) <= 0) return -1;
        for (size_t i = 0; i < cs.size(); i++) {
            if (!(pf[i].revents & POLLIN)) continue;
            if (cli_pump(&cs[i]) < 0) return -1;
            while (cli_take_line(&cs[i], &line)) {
                done++;
                cli_send(&cs[i], 1, "check bob pw");
            }
        }
    }
    return static_cast<double>(done) / std::chrono::duration<double>(Clock::now() - t0).count();
}

// New TLS connections per second, each with one request and its reply (which
// also brings the TLS 1.3 tickets), resuming the first session when resume.
double handshakes_per_s(int port, const std::string &ca, bool resume, int count, int *resumed) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(ctx, ca.c_str(), nullptr);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_SESSION *sess = nullptr;
    *resumed = 0;
    auto t0 = Clock::now();
    int done = 0;
    for (int i = 0; i < count; i++) {
        ZvClient c;
        if (!cli_connect(&c, "127.0.0.1", port, 5000)) break;
        fcntl(c.fd.get(), F_SETFL, 0);  // a blocking socket keeps this loop simple
        SSL *s = SSL_new(ctx);
        SSL_set_fd(s, c.fd.get());
        if (resume && sess) SSL_set_session(s, sess);
        char buf[256];
        bool ok = SSL_connect(s) == 1 && SSL_write(s, "1 exit\n", 7) == 7 &&
                  SSL_read(s, buf, sizeof buf) > 0;
        if (ok && SSL_session_reused(s)) ++*resumed;
        if (ok && resume && !sess) sess = SSL_get1_session(s);
        SSL_shutdown(s);
        SSL_free(s);
        ERR_clear_error();
        if (!ok) break;
        done++;
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (sess) SSL_SESSION_free(sess);
    SSL_CTX_free(ctx);
    return done / secs;
}

// Resident memory growth of the daemon per idle connection (kB).
double idle_kb(TestServer &s, int port, bool tls, const TlsClientOptions &o, int n) {
    long before = rss_kb(s.pid());
    std::vector<ZvClient> cs(static_cast<size_t>(n));
    for (auto &c : cs)
        if (!open_conn(s, port, tls, o, &c)) return -1;
    return static_cast<double>(rss_kb(s.pid()) - before) / n;
}
}  // namespace

int main(int argc, char **argv) {
    double secs = argc > 1 ? atof(argv[1]) : 5;
    int idle = argc > 2 ? atoi(argv[2]) : 1000;
    if (secs <= 0 || secs > 600 || idle < 1 || idle > 20000) {
        fprintf(stderr, "usage: tls_bench [SECONDS 1-600] [IDLE 1-20000]\n");
        return 2;
    }
    TempDir pki;
    if (!make_pki(pki)) {
        fprintf(stderr, "could not make certificates (is openssl installed?)\n");
        return 1;
    }
    TestServer s;
    int tp = free_port();
    s.extra_conf = {"loop fast", "tls_port " + std::to_string(tp),
                    "tls_cert " + pki.file("server.pem"), "tls_key " + pki.file("server.key")};
    ZvClient first;
    if (!s.start() || !s.connect(&first) || s.request(&first, 1, "set bob pw").empty()) {
        fprintf(stderr, "server did not start\n");
        return 1;
    }
    TlsClientOptions o;
    o.cafile = pki.file("ca.pem");
    printf("checks/s, one request in flight per connection, %.0f s each:\n", secs);
    for (int n : {1, 64}) {
        double r[2], us[2];
        for (int t = 0; t < 2; t++) {
            double c0 = cpu_us(s.pid());
            r[t] = checks_per_s(s, t ? tp : s.port(), t == 1, o, n, secs);
            us[t] = (cpu_us(s.pid()) - c0) / (r[t] * secs);
        }
        printf(
            "  %2d connections: plain %8.0f  TLS %8.0f  (%.0f%%); server CPU per check: "
            "plain %.1f us, TLS %.1f us\n",
            n, r[0], r[1], 100 * r[1] / r[0], us[0], us[1]);
    }
    int count = static_cast<int>(secs * 200), resumed = 0;
    double full = handshakes_per_s(tp, o.cafile, false, count, &resumed);
    double res = handshakes_per_s(tp, o.cafile, true, count, &resumed);
    printf(
        "new TLS connections/s (handshake, one request): full %.0f, resumed %.0f (%d of %d "
        "resumed)\n",
        full, res, resumed, count);
    double kp = idle_kb(s, s.port(), false, o, idle);
    double kt = idle_kb(s, tp, true, o, idle);
    printf("daemon memory per idle enciphered connection (%d each): plain %.1f kB, TLS %.1f kB\n",
           idle, kp, kt);
    s.stop();
    return 0;
}
