// The zorvex client against a real zorvexsvr in engine mode: one command with
// each exit status, pipelined batches, wrong secrets, a server that is not
// running, and the checkpassword interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/server_fixture.h"

namespace {

std::vector<std::string> zv(const TestServer &s, std::vector<std::string> args) {
    args.insert(args.begin(), {program_path("zorvex"), "-conf", s.conf_path()});
    return args;
}

// Runs argv as a mail server runs a checkpassword program: the data on
// descriptor 3, descriptor 4 open for the next program, the given environment.
RunResult run_cp(const std::vector<std::string> &argv, const std::string &fd3,
                 const std::vector<std::string> &env) {
    RunFds fds{fd3, &env};
    return run_program(argv, "", "", 30, &fds);
}

// The next program: reports USER, HOME and whether descriptor 3 reached it.
const char *kNext =
    "printf '%s|%s|' \"$USER\" \"${HOME-unset}\" >&4; "
    "if [ -e /proc/$$/fd/3 ]; then echo fd3 >&4; else echo closed >&4; fi";

}  // namespace

TEST(Zorvex, CommandsAndBatches) {
    TestServer s;
    ASSERT_TRUE(s.start());
    // No secret file yet: the client has the server make one, then uses it.
    RunResult r = run_program(zv(s, {"version"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "+OK kvauth 4.0e\n");
    EXPECT_EQ(r.err, "");

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    const Case cases[] = {
        {{"set", "alice", "secret", "quota=\"10\" home=\"/home/al\""},
         0,
         "+OK alice added to database\n"},
        {{"check", "alice", "secret"}, 0, "+OK alice config 0 quota=\"10\" home=\"/home/al\"\n"},
        {{"check", "alice", "wrong"}, 1, "-ERR alice password wrong or not a valid user\n"},
        {{"-raw", "lookup", "nobody"}, 1, "1 -ERR nobody not found\n"},
        {{"QUIT"}, 0, "+OK exiting\n"},
        {{"set", "dave", "p w"}, 2, ""},  // would store password p with information w
        {{"check", "dave\t", "p"}, 2, ""},
    };
    for (const Case &c : cases) {
        r = run_program(zv(s, c.args));
        EXPECT_EQ(r.status, c.status) << c.args[0] << r.err;
        EXPECT_EQ(r.out, c.out);
    }
    r = run_program(zv(s, {"help"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 21), "+DATA Valid commands\n");
    EXPECT_TRUE(r.out.ends_with("\n+OK \n")) << r.out;

    for (auto args : std::vector<std::vector<std::string>>{{"-bogus"}, {"encrypt", "x"}}) {
        r = run_program(zv(s, args));
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    r = run_program({program_path("zorvex"), "-conf", s.file("missing.conf"), "version"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("missing.conf"), std::string::npos);
    r = run_program({program_path("zorvex"), "-version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "zorvex version 1.1e\n");
    r = run_program({program_path("zorvex"), "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("-checkpassword"), std::string::npos);

    // A batch, pipelined: each check needs its set to have been run first.
    std::string in = "# users\n\n", want;
    for (int i = 0; i < 300; i++) {
        std::string n = std::to_string(i);
        in += "set u" + n + " p" + n + " n=\"" + n + "\"\n";
        want += "+OK u" + n + " added to database\n";
    }
    for (int i = 0; i < 300; i++) {
        std::string n = std::to_string(i);
        in += "check u" + n + " p" + n + "\n";
        want += "+OK u" + n + " config 0 n=\"" + n + "\"\n";
    }
    in += "search u29\nversion";  // the last line has no line end
    r = run_program(zv(s, {"-"}), in);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_GE(r.out.size(), want.size());
    EXPECT_EQ(r.out.substr(0, want.size()), want);
    // Search lists u29 and u290 to u299 in index order, then the end line.
    std::string rest = r.out.substr(want.size());
    size_t n = 0;
    for (size_t at = rest.find("+DATA u29"); at != std::string::npos;
         at = rest.find("+DATA u29", at + 1))
        n++;
    EXPECT_EQ(n, 11u) << rest;
    EXPECT_TRUE(rest.ends_with("+OK Search Complete 11 items found out of 301\n+OK kvauth 4.0e\n"))
        << rest;

    // exit ends the batch; the lines after it are not sent.
    r = run_program(zv(s, {"-raw"}), "del u1\nexit\ndel u2\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1 +OK Deleted user successfully\n2 +OK exiting\n");
    EXPECT_EQ(run_program(zv(s, {"lookup", "u2"})).status, 0);
}

TEST(Zorvex, CheckpasswordWrongSecretAndNoServer) {
    TestServer s;
    ASSERT_TRUE(s.start());
    RunResult r = run_program(zv(s, {"set", "alice", "secret", "home=\"/home/al\" q=\"1\""}));
    ASSERT_EQ(r.status, 0) << r.err;
    r = run_program(zv(s, {"set", "bob", "pw"}));
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> cmd = zv(s, {"-checkpassword", "sh", "-c", kNext});

    struct Case {
        std::string fd3;
        std::vector<std::string> env;
        int status;
        std::string fd4;
    };
    const Case cases[] = {
        // Empty environment, no PATH, empty timestamp: "sh" is still found.
        {std::string("alice\0secret\0\0", 14), {}, 0, "alice|/home/al|closed\n"},
        // No home value: the mail server's own HOME is not passed on.
        {std::string("bob\0pw\0"
                     "1234\0",
                     12),
         {"HOME=/var/mail"},
         0,
         "bob|unset|closed\n"},
        {std::string("alice\0wrong\0\0", 13), {}, 1, ""},
        {std::string("alice\0secret extra\0\0", 20), {}, 1, ""},
        {std::string("alice\0\0\0", 8), {}, 1, ""},
        {"alice", {}, 2, ""},
    };
    for (const Case &k : cases) {
        r = run_cp(cmd, k.fd3, k.env);
        EXPECT_EQ(r.status, k.status) << k.fd3 << r.err;
        EXPECT_EQ(r.fd4, k.fd4);
        EXPECT_EQ(r.out, "");
    }

    write_file(s.file("other.dat"), s.secret() + "x\n");
    r = run_program(zv(s, {"-secret", s.file("other.dat"), "version"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("wrong shared secret"), std::string::npos) << r.err;
    EXPECT_EQ(run_program(zv(s, {"-check", "version"})).status, 0);

    ASSERT_TRUE(s.stop());  // now nothing listens on its port
    r = run_program(zv(s, {"check", "a", "b"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("cannot connect"), std::string::npos) << r.err;
    r = run_cp(cmd, std::string("alice\0secret\0\0", 14), {});
    EXPECT_EQ(r.status, 111) << r.err;
    EXPECT_EQ(r.fd4, "");
    EXPECT_EQ(r.out, "");
}
