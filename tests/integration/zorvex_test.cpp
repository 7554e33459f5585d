// The zorvex program against a real zorvexsvr: each exit status, a pipelined
// batch, wrong secrets, the checkpassword interface, a server that is not
// running, and a pool whose processes answer out of order or fail.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/server_fixture.h"

using Args = std::vector<std::string>;
using S = std::string;

// The pool's processes: "hold" is answered once a "go" has been, a check of
// mallory is accepted for bob, and any other check gets a reply line too long
// for the pool, which fails the request.
const char *kPool = R"(#!/bin/sh
d=$(dirname "$0")
while read -r l; do case "$l" in
  go) : >"$d/go";;
  hold) for i in $(seq 50); do [ -e "$d/go" ] && break; sleep 0.1; done;;
  bad*) echo "-ERR no $l"; continue;;
  'check mallory '*) echo '+OK bob config 0'; continue;;
  check*) printf '%010000d\n' 0; continue;;
esac; echo "+DATA for $l"; echo "+OK $l"; done
)";

TEST(Zorvex, CommandsCheckpasswordAndPool) {
    TestServer s;
    ASSERT_TRUE(s.start());
    // Runs zorvex; with fd3, as a mail server runs a checkpassword program.
    auto zv = [&](Args args, const S &in = "", const S *fd3 = nullptr, const Args &env = {}) {
        args.insert(args.begin(), {program_path("zorvex"), "-conf", s.conf_path()});
        RunFds fds{fd3 ? *fd3 : "", &env};
        return run_program(args, in, "", 30, fd3 ? &fds : nullptr);
    };
    S batch = "# users\n\n", want;
    for (int i = 0; i < 200; i++) {
        S n = std::to_string(i);
        batch += "set u" + n + " p" + n + " n=\"" + n + "\"\ncheck u" + n + " p" + n + "\n";
        want += "+OK u" + n + " added to database\n+OK u" + n + " config 0 n=\"" + n + "\"\n";
    }
    const std::tuple<Args, S, int, S> cases[] = {
        // No secret file yet: the client has the server make one, then uses it.
        {{"version"}, "", 0, "+OK kvauth 4.0e\n"},
        {{"set", "alice", "secret", "home=\"/al\""}, "", 0, "+OK alice added to database\n"},
        {{"check", "alice", "wrong"}, "", 1, "-ERR alice password wrong or not a valid user\n"},
        {{"-raw", "lookup", "nobody"}, "", 1, "1 -ERR nobody not found\n"},
        {{"QUIT"}, "", 0, "+OK exiting\n"},
        {{"set", "dave", "p w"}, "", 2, ""},  // would store password p with information w
        {{"-bogus"}, "", 2, ""},
        {{"-version"}, "", 0, "zorvex version 1.1e\n"},
        // Pipelined, the last line without a line end; exit ends a batch.
        {{"-"}, batch + "version", 0, want + "+OK kvauth 4.0e\n"},
        {{"-raw"}, "del u1\nexit\ndel u2\n", 0, "1 +OK Deleted user successfully\n2 +OK exiting\n"},
        {{"lookup", "u2"}, "", 0, "+OK u2 config 0 n=\"2\"\n"}};
    for (const auto &[args, in, status, out] : cases) {
        RunResult r = zv(args, in);
        EXPECT_EQ(std::tie(r.status, r.out), std::tie(status, out)) << args[0] << r.err;
    }
    S other = s.secret();
    other.back()++;  // a hash one higher: another check value
    write_file(s.file("other.dat"), other + "\n");

    // The next program reports USER, HOME and whether descriptor 3 reached it.
    Args cp = {"-checkpassword", "sh", "-c",
               "printf '%s|%s|' \"$USER\" \"${HOME-unset}\" >&4; "
               "if [ -e /proc/$$/fd/3 ]; then echo fd3 >&4; else echo closed >&4; fi"};
    const S alice("alice\0secret\0\0", 14);
    const std::tuple<S, Args, int, S> logins[] = {
        // Empty environment, no PATH, empty timestamp: "sh" is still found.
        {alice, {}, 0, "alice|/al|closed\n"},
        // No home value: the mail server's own HOME is not passed on.
        {S("u3\0p3\0t\0", 8), {"HOME=/var/mail"}, 0, "u3|unset|closed\n"},
        {S("alice\0wrong\0\0", 13), {}, 1, ""},
        {S("alice\0secret extra\0\0", 20), {}, 1, ""},
        {S("alice\0\0\0", 8), {}, 1, ""},
        {"alice", {}, 2, ""}};
    for (const auto &[fd3, env, status, fd4] : logins) {
        RunResult r = zv(cp, "", &fd3, env);
        EXPECT_EQ(std::tie(r.status, r.fd4, r.out), std::tie(status, fd4, "")) << fd3 << r.err;
    }

    ASSERT_TRUE(s.stop());  // nothing listens: a temporary failure, not a wrong password
    RunResult r = zv({"check", "a", "b"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot connect"), S::npos) << r.err;
    EXPECT_EQ(zv(cp, "", &alice).status, 111);

    write_file(s.file("pool.sh"), kPool);
    chmod(s.file("pool.sh").c_str(), 0700);
    s.extra_conf = {"authent_process " + s.file("pool.sh"), "authent_number 3"};
    ASSERT_TRUE(s.start());
    // A window of one never sees "hold" answered; testcrypt is refused in a
    // batch, asked for alone.
    const S ab = "+DATA for a\n+OK a\n+DATA for b\n+OK b\n",
            tc = "+DATA for testcrypt\n+OK testcrypt\n",
            held =
                "1 +DATA for hold\n1 +OK hold\n2 +DATA for go\n2 +OK go\n3 -ERR no bad c\n"
                "4 +DATA for d\n4 +OK d\n";
    const std::tuple<Args, S, int, S, const char *> pool[] = {
        {{"-window", "1", "-timeout", "1"}, "hold\ngo\n", 2, "", "(1 requests unanswered"},
        {{"-raw", "-window", "2"}, "hold\ngo\n# skipped\n\nbad c\nd", 1, held, ""},
        {{"-raw"}, "hold\nexit\nd\n", 0, "1 +DATA for hold\n1 +OK hold\n2 +OK exiting\n", ""},
        {{"-secret", s.file("other.dat"), "version"}, "", 2, "", "wrong shared secret"},
        {{}, "a\nencrypt x\n" + S(1000, 'y') + "\nb\n", 1, ab, "line 3:"},
        {{}, "testcrypt\n", 1, "", "line 1: testcrypt creates"},
        {{"testcrypt"}, "n\n", 2, "", "Go on? [y/N]"},
        {{"testcrypt"}, "y\n", 0, tc, "Go on? [y/N]"},
        {{"-y"}, "testcrypt\n", 0, tc, ""}};
    for (const auto &[args, in, status, out, err] : pool) {
        r = zv(args, in);
        EXPECT_EQ(std::tie(r.status, r.out), std::tie(status, out)) << in;
        EXPECT_NE(r.err.find(err), S::npos) << r.err;
    }
    EXPECT_EQ(zv(cp, "", &alice).status, 111);  // the pool failed the request
    const S mallory("mallory\0wrong\0\0", 15);  // answered for bob
    r = zv(cp, "", &mallory);
    EXPECT_EQ(r.status, 111) << r.err;
    EXPECT_NE(r.err.find("accepted another user"), S::npos) << r.err;
}
