// The zorvex program against a real zorvexsvr: each exit status, a pipelined
// batch, wrong secrets, a server that is not running or whose authenticator
// fails, the checkpassword interface, and replies out of order from a pool.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/server_fixture.h"

using Args = std::vector<std::string>;

TEST(Zorvex, CommandsBatchAndCheckpassword) {
    TestServer s;
    ASSERT_TRUE(s.start());
    // Runs zorvex; with fd3, as a mail server runs a checkpassword program.
    auto zv = [&](Args args, const std::string &in = "", const std::string *fd3 = nullptr,
                  const Args &env = {}) {
        args.insert(args.begin(), {program_path("zorvex"), "-conf", s.conf_path()});
        RunFds fds{fd3 ? *fd3 : "", &env};
        return run_program(args, in, "", 30, fd3 ? &fds : nullptr);
    };
    std::string batch = "# users\n\n", want;
    for (int i = 0; i < 200; i++) {
        std::string n = std::to_string(i);
        batch += "set u" + n + " p" + n + " n=\"" + n + "\"\ncheck u" + n + " p" + n + "\n";
        want += "+OK u" + n + " added to database\n+OK u" + n + " config 0 n=\"" + n + "\"\n";
    }
    const std::tuple<Args, std::string, int, std::string> cases[] = {
        // No secret file yet: the client has the server make one, then uses it.
        {{"version"}, "", 0, "+OK kvauth 4.0e\n"},
        {{"set", "alice", "secret", "home=\"/home/al\" q=\"1\""},
         "",
         0,
         "+OK alice added to database\n"},
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
    write_file(s.file("other.dat"), s.secret() + "x\n");
    RunResult r = zv({"-secret", s.file("other.dat"), "version"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("wrong shared secret"), std::string::npos) << r.err;
    EXPECT_EQ(zv({"-check", "version"}).status, 0);

    // The next program reports USER, HOME and whether descriptor 3 reached it.
    Args cp = {"-checkpassword", "sh", "-c",
               "printf '%s|%s|' \"$USER\" \"${HOME-unset}\" >&4; "
               "if [ -e /proc/$$/fd/3 ]; then echo fd3 >&4; else echo closed >&4; fi"};
    const std::string alice("alice\0secret\0\0", 14);
    const std::tuple<std::string, Args, int, std::string> logins[] = {
        // Empty environment, no PATH, empty timestamp: "sh" is still found.
        {alice, {}, 0, "alice|/home/al|closed\n"},
        // No home value: the mail server's own HOME is not passed on.
        {std::string("u3\0p3\0"
                     "1234\0",
                     11),
         {"HOME=/var/mail"},
         0,
         "u3|unset|closed\n"},
        {std::string("alice\0wrong\0\0", 13), {}, 1, ""},
        {std::string("alice\0secret extra\0\0", 20), {}, 1, ""},
        {std::string("alice\0\0\0", 8), {}, 1, ""},
        {"alice", {}, 2, ""}};
    for (const auto &[fd3, env, status, fd4] : logins) {
        r = zv(cp, "", &fd3, env);
        EXPECT_EQ(std::tie(r.status, r.fd4, r.out), std::tie(status, fd4, "")) << fd3 << r.err;
    }

    // Nothing listens, or the authenticator fails each request with a reply
    // line too long for the pool: a temporary failure, not a wrong password.
    ASSERT_TRUE(s.stop());
    r = zv({"check", "a", "b"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot connect"), std::string::npos) << r.err;
    EXPECT_EQ(zv(cp, "", &alice).status, 111);
    write_file(s.file("long.sh"), "#!/bin/sh\nwhile read -r l; do printf '%010000d\\n' 0; done\n");
    chmod(s.file("long.sh").c_str(), 0700);
    s.extra_conf = {"authent_process " + s.file("long.sh")};
    ASSERT_TRUE(s.start());
    EXPECT_EQ(zv(cp, "", &alice).status, 111);
}

// Pool processes answer in any order; "hold" is answered once a "go" has
// been, so a window of one never sees it answered. testcrypt is refused in a
// batch, asked for alone.
TEST(Zorvex, WindowOrderAndBatchLines) {
    TestServer s;
    write_file(s.file("auth.sh"),
               "#!/bin/sh\nwhile read -r l; do case \"$l\" in\n"
               " go) : >" +
                   s.file("go") +
                   ";;\n"
                   " hold) for i in $(seq 50); do [ -e " +
                   s.file("go") +
                   " ] && break; sleep 0.1; done;;\n"
                   " bad*) echo \"-ERR no $l\"; continue;;\n"
                   "esac; echo \"+DATA for $l\"; echo \"+OK $l\"; done\n");
    chmod(s.file("auth.sh").c_str(), 0700);
    s.extra_conf = {"authent_process " + s.file("auth.sh"), "authent_number 3"};
    ASSERT_TRUE(s.start());
    const std::string ab = "+DATA for a\n+OK a\n+DATA for b\n+OK b\n",
                      tc = "+DATA for testcrypt\n+OK testcrypt\n";
    const std::tuple<Args, std::string, int, std::string, const char *> cases[] = {
        {{"-window", "1", "-timeout", "1"}, "hold\ngo\n", 2, "", "(1 requests unanswered"},
        {{"-raw", "-window", "2"},
         "hold\ngo\n# skipped\n\nbad c\nd",
         1,
         "1 +DATA for hold\n1 +OK hold\n2 +DATA for go\n2 +OK go\n3 -ERR no bad c\n"
         "4 +DATA for d\n4 +OK d\n",
         ""},
        {{}, "a\nencrypt x\n" + std::string(1000, 'y') + "\nb\n", 1, ab, "line 3:"},
        {{}, "testcrypt\n", 1, "", "line 1: testcrypt creates"},
        {{"testcrypt"}, "n\n", 2, "", "Go on? [y/N]"},
        {{"testcrypt"}, "y\n", 0, tc, "Go on? [y/N]"},
        {{"-y"}, "testcrypt\n", 0, tc, ""}};
    for (const auto &[args, in, status, out, err] : cases) {
        Args argv = {program_path("zorvex"), "-conf", s.conf_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        RunResult r = run_program(argv, in);
        EXPECT_EQ(std::tie(r.status, r.out), std::tie(status, out)) << in;
        EXPECT_NE(r.err.find(err), std::string::npos) << r.err;
    }
}
