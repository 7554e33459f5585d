// The TLS port end to end, with certificates made by the openssl command for
// each run (a site CA, a stranger CA, an expired client certificate):
// start-up refusals, the real openssl s_client, zorvex -tls in its modes, a
// plain client on the TLS port, a TLS client on the plain port, and a stalled
// handshake that holds up nobody and is closed after its time-out.
#include <gtest/gtest.h>
#include <algorithm>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/http.h"
#include "support/server_fixture.h"

using Args = std::vector<std::string>;
using S = std::string;

namespace {
constexpr const char *kOpenssl = "/usr/bin/openssl";
// The server's and s_client's TLS settings are their own, not the system's.
constexpr const char *kNoSiteConf = "OPENSSL_CONF=/dev/null";

// The certificates, made once per process in a directory of their own.
const TempDir &pki() {
    static TempDir d;
    static bool made = [] {
        S ec = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
        S sh =
            "set -e; umask 077; printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' >san\n"
            "for ca in ca other; do openssl req -x509" +
            ec +
            " -keyout $ca.key -out $ca.pem -days 2 -subj /CN=$ca; done\n"
            "mk() { openssl req" +
            ec +
            " -keyout $1.key -out $1.csr -subj /CN=$1\n"
            "  openssl x509 -req -in $1.csr -CA $2.pem -CAkey $2.key -days $3 $4 -out $1.pem; }\n"
            "mk server ca 2 '-extfile san'; mk client ca 2; mk stranger other 2\n"
            "mk expired ca -1; cat client.pem client.key >client.both\n";
        return run_program({"/bin/sh", "-c", sh}, "", d.path()).status == 0;
    }();
    EXPECT_TRUE(made);
    return d;
}

S pk(const S &name) {
    return pki().file(name);
}

// The configuration of a server whose TLS port is tls_port.
S tls_conf(int tls_port) {
    return "loop fast\ntls_port " + std::to_string(tls_port) + "\ntls_cert " + pk("server.pem") +
           "\ntls_key " + pk("server.key") + "\ntls_client_ca " + pk("ca.pem");
}

// Whether the peer of fd has closed it (or sent something) by now.
bool closed_by_peer(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}
}  // namespace

// Each refusal: one line on standard error, before detaching, exit 1.
TEST(Tls, StartupRefusals) {
    if (access(kOpenssl, X_OK) != 0) GTEST_SKIP() << "no openssl command";
    TempDir d;
    S shown = d.file("shown.key");
    ASSERT_EQ(run_program({"/bin/sh", "-c", "cp " + pk("server.key") + " " + shown}).status, 0);
    chmod(shown.c_str(), 0640);
    S base = "workarea " + d.path() + "\nlogdir " + d.path() + "\nport " +
             std::to_string(free_port()) + "\n";
    S good = "tls_port " + std::to_string(free_port()) + "\ntls_cert " + pk("server.pem") + "\n";
    struct Case {
        S conf, says;
    } cases[] = {
        {good + "tls_key " + pk("server.key"), "the tls_ keys need loop fast"},
        {"loop fast\n" + good + "tls_key " + shown, "is readable by group or others (mode 0640)"},
        {"loop fast\n" + good + "tls_key " + pk("client.key"), "does not match tls_cert"},
        {"loop fast\n" + good + "tls_key " + d.file("none"), "No such file or directory"},
        {"loop fast\n" + good + "tls_key " + pk("server.key") + "\ntls_client_ca " + pk("san"),
         "tls_client_ca " + pk("san") + " holds no usable CA certificate"},
        {"loop fast\ntls_port 70000\ntls_cert x\ntls_key y", "not a port number"},
        {"loop fast\ntls_port 7000\ntls_key " + pk("server.key"),
         "needs both tls_cert and tls_key"},
    };
    for (const Case &c : cases) {
        write_file(d.file("conf"), base + c.conf + "\n");
        RunResult r = run_program({program_path("zorvexsvr"), "-conf", d.file("conf")});
        EXPECT_EQ(r.status, 1) << c.conf;
        EXPECT_EQ(r.out, "") << c.conf;
        EXPECT_EQ(r.err.rfind("zorvexsvr: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.says), S::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
}

TEST(Tls, ClientsOnBothPorts) {
    if (access(kOpenssl, X_OK) != 0) GTEST_SKIP() << "no openssl command";
    TestServer s;
    s.launcher = {"/usr/bin/env", kNoSiteConf};
    int tp = free_port(), mp = free_port();
    s.extra_conf = {tls_conf(tp), "metrics_listen 127.0.0.1:" + std::to_string(mp)};
    ASSERT_TRUE(s.start());
    S port = std::to_string(tp);

    // A connection that stalls in its handshake, open while all below runs.
    ZvClient stalled;
    ASSERT_TRUE(cli_connect(&stalled, "127.0.0.1", tp, 2000));
    ASSERT_TRUE(cli_send_raw(&stalled, S("\x16\x03\x01\x00", 4)));

    // zorvex -tls in batch, single and checkpassword modes; the host checked.
    Args ok = {"-tls",           "-cafile", pk("ca.pem"),    "-cert",
               pk("client.pem"), "-key",    pk("client.key")};
    S fd3 =
        S("bob\0pw\0"
          "0\0",
          8);
    struct Run {
        Args args;
        S in;
        int status;
        S out, err;
    } runs[] = {
        {ok, "set bob pw\ncheck bob pw\ncheck bob no\n", 1,
         "+OK bob added to database\n+OK bob config 0 \n"
         "-ERR bob password wrong or not a valid user\n",
         ""},
        {{"-tls", "-cafile", pk("ca.pem"), "-cert", pk("client.both"), "-host", "localhost",
          "check", "bob", "pw"},
         "",
         0,
         "+OK bob config 0 \n",
         ""},
        {{"-tls", "-cafile", pk("ca.pem"), "-host", "127.0.0.2", "version"},
         "",
         2,
         "",
         "IP address mismatch"},
        {{"-tls", "-cafile", pk("other.pem"), "version"}, "", 2, "", "unable to get local issuer"},
        {{"-tls", "version"}, "", 2, "", "unable to get local issuer"},
        {{"-tls", "-key", pk("client.key"), "version"}, "", 2, "", "-key needs -cert"},
        {{"-cafile", pk("ca.pem"), "version"}, "", 2, "", "need -tls"},
        // A TLS client on the plain port gets what a plain one saying nothing
        // gets: no reply; its time-out ends it.
        {{"-tls", "-cafile", pk("ca.pem"), "-port", std::to_string(s.port()), "-timeout", "1",
          "version"},
         "",
         2,
         "",
         "timed out"},
    };
    for (const Run &r : runs) {
        Args a = {program_path("zorvex"), "-conf", s.conf_path()};
        if (std::find(r.args.begin(), r.args.end(), "-port") == r.args.end())
            a.insert(a.end(), {"-port", port});
        a.insert(a.end(), r.args.begin(), r.args.end());
        RunResult got = run_program(a, r.in);
        EXPECT_EQ(got.status, r.status) << a.back() << got.err;
        EXPECT_EQ(got.out, r.out) << a.back();
        EXPECT_NE(got.err.find(r.err), S::npos) << got.err;
    }
    // All of them were served while the stalled handshake stayed open.
    EXPECT_FALSE(closed_by_peer(stalled.fd.get()));
    Args cp = {program_path("zorvex"), "-conf", s.conf_path(), "-port", port};
    cp.insert(cp.end(), ok.begin(), ok.end());
    cp.insert(cp.end(), {"-checkpassword", "sh", "-c", "echo $USER >&4"});
    Args env = {"PATH=/usr/bin:/bin"};
    RunFds fds{fd3, &env};
    RunResult got = run_program(cp, "", "", 30, &fds);
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.fd4, "bob\n");

    // openssl s_client: the line protocol inside TLS, and each refusal.
    // More than the server's first read buffer arrives in one record.
    S in, served;
    for (int i = 0; i < 300; i++) {
        in += "1 check bob pw\n";
        served += "1 +ERR Sorry you must use encrypted mode\r\n";
    }
    in += "2 encrypt x 99\n";  // no secret's check value (they are under 20)
    served += "2 +ERR You must copy xlate.dat wrong shared secret\r\n";
    Args me = {"-cert", pk("client.pem"), "-key", pk("client.key")};
    struct Try {
        Args args;
        S out, err;
    } tries[] = {
        {me, served, ""},
        {{"-tls1_2", "-cert", pk("client.pem"), "-key", pk("client.key")}, served, ""},
        {{"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-SHA", "-cert", pk("client.pem"), "-key",
          pk("client.key")},
         "",
         "handshake failure"},
        {{"-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"}, "", "protocol version"},
        {{"-CAfile", pk("other.pem"), "-cert", pk("client.pem"), "-key", pk("client.key")},
         "",
         "unable to get local issuer"},
        {{}, "", "certificate required"},
        {{"-cert", pk("expired.pem"), "-key", pk("expired.key")}, "", "certificate expired"},
        {{"-cert", pk("stranger.pem"), "-key", pk("stranger.key")}, "", "unknown ca"},
    };
    for (const Try &t : tries) {
        Args a = {"/usr/bin/env", kNoSiteConf,  kOpenssl,
                  "s_client",     "-connect",   "127.0.0.1:" + port,
                  "-CAfile",      pk("ca.pem"), "-verify_return_error",
                  "-quiet"};
        a.insert(a.end(), t.args.begin(), t.args.end());
        RunResult r = run_program(a, in, "", 20);
        EXPECT_EQ(r.out, t.out) << a.back() << r.err;
        EXPECT_NE(r.err.find(t.err), S::npos) << r.err;
    }

    // A plain client on the TLS port is closed, not left waiting.
    ZvClient plain;
    ASSERT_TRUE(cli_connect(&plain, "127.0.0.1", tp, 2000));
    ASSERT_TRUE(cli_send(&plain, 1, "check bob pw"));
    S line;
    EXPECT_EQ(cli_read_line(&plain, &line, 5000), -1);

    // The stalled handshake is closed once its time-out passes.
    EXPECT_TRUE(s.wait_log("TLS handshake on socket", 20000));
    EXPECT_EQ(cli_read_line(&stalled, &line, 5000), -1);
    ZvClient c;
    ASSERT_TRUE(s.connect(&c));
    EXPECT_EQ(s.request(&c, 5, "check bob pw"), std::vector<S>{"5 +OK bob config 0 "});
    // Handshakes: six got through (the batch run makes two); eleven failed
    // on either side, stalled, or were no TLS at all. Each of those is a
    // connection closed for a fault, as are the two wrong check values.
    S scrape = http_get(mp, "/metrics").body;
    for (S want : {"zorvexsvr_tls_handshakes_total{result=\"ok\"} 6\n",
                   "zorvexsvr_tls_handshakes_total{result=\"failed\"} 11\n",
                   "zorvexsvr_connections_closed_errors_total 13\n"})
        EXPECT_NE(scrape.find(want), S::npos) << want << scrape;
}
