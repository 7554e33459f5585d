// The zorvex client against a real zorvexsvr in engine mode: one command with
// each exit status, pipelined batches, wrong secrets, a server that is not
// running, and the checkpassword interface.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "support/server_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> zv(const TestServer &s, std::vector<std::string> args) {
    args.insert(args.begin(), {program_path("zorvex"), "-conf", s.conf_path()});
    return args;
}

struct CpResult {
    int status = -1;
    std::string fd4, out, err;
};

// Runs argv as a mail server runs a checkpassword program: the data on
// descriptor 3, descriptor 4 open for the next program, the given environment.
CpResult run_cp(const std::vector<std::string> &argv, const std::string &fd3,
                const std::vector<std::string> &env) {
    CpResult res;
    int p3[2], p4[2], po[2], pe[2];
    for (int *p : {p3, p4, po, pe}) {
        if (pipe2(p, O_CLOEXEC) != 0) return res;
        // Keep the ends clear of 0-4 so that dup2 below never hits itself.
        for (int i = 0; i < 2; i++) {
            int hi = fcntl(p[i], F_DUPFD_CLOEXEC, 10);
            close(p[i]);
            p[i] = hi;
        }
    }
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(po[1], 1);
        dup2(pe[1], 2);
        dup2(p3[0], 3);
        dup2(p4[1], 4);
        std::vector<char *> a, e;
        for (const auto &x : argv) a.push_back(const_cast<char *>(x.c_str()));
        for (const auto &x : env) e.push_back(const_cast<char *>(x.c_str()));
        a.push_back(nullptr);
        e.push_back(nullptr);
        execve(a[0], a.data(), e.data());
        _exit(127);
    }
    close(p3[0]);
    close(p4[1]);
    close(po[1]);
    close(pe[1]);
    (void)!write(p3[1], fd3.data(), fd3.size());
    close(p3[1]);
    pollfd p[3] = {{p4[0], POLLIN, 0}, {po[0], POLLIN, 0}, {pe[0], POLLIN, 0}};
    std::string *dst[3] = {&res.fd4, &res.out, &res.err};
    int open_fds = 3;
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (open_fds > 0 && Clock::now() < deadline) {
        if (poll(p, 3, 200) <= 0) continue;
        for (int i = 0; i < 3; i++) {
            if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(p[i].fd);
                p[i].fd = -1;
                open_fds--;
            } else {
                dst[i]->append(buf, static_cast<size_t>(n));
            }
        }
    }
    for (auto &x : p)
        if (x.fd >= 0) close(x.fd);
    if (open_fds > 0) kill(pid, SIGKILL);
    int st = 0;
    waitpid(pid, &st, 0);
    res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return res;
}

// The next program: reports USER, HOME and whether descriptor 3 reached it.
const char *kNext =
    "printf '%s|%s|' \"$USER\" \"${HOME-unset}\" >&4; "
    "if [ -e /proc/$$/fd/3 ]; then echo fd3 >&4; else echo closed >&4; fi";

}  // namespace

TEST(Zorvex, SingleCommandExitStatuses) {
    TestServer s;
    ASSERT_TRUE(s.start());
    // No secret file yet: the client has the server make one, then uses it.
    RunResult r = run_program(zv(s, {"version"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "+OK kvauth 4.0e\n");
    EXPECT_EQ(r.err, "");

    r = run_program(zv(s, {"set", "alice", "secret", "quota=\"10\" home=\"/home/al\""}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "+OK alice added to database\n");
    r = run_program(zv(s, {"check", "alice", "secret"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "+OK alice config 0 quota=\"10\" home=\"/home/al\"\n");
    r = run_program(zv(s, {"check", "alice", "wrong"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "-ERR alice password wrong or not a valid user\n");
    r = run_program(zv(s, {"-raw", "lookup", "nobody"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "1 -ERR nobody not found\n");

    r = run_program(zv(s, {"help"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 21), "+DATA Valid commands\n");
    EXPECT_TRUE(r.out.ends_with("\n+OK \n")) << r.out;
    r = run_program(zv(s, {"QUIT"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "+OK exiting\n");

    for (auto args : std::vector<std::vector<std::string>>{
             {"-bogus"}, {"-port"}, {"-timeout", "x", "version"}, {"encrypt", "x"}}) {
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
    EXPECT_TRUE(s.alive());
}

TEST(Zorvex, BatchPipelinedInOrder) {
    TestServer s;
    ASSERT_TRUE(s.start());
    std::string in = "# users\n\n", want;
    for (int i = 0; i < 300; i++) {
        in += "set u" + std::to_string(i) + " p" + std::to_string(i) + " n=\"" + std::to_string(i) +
              "\"\n";
        want += "+OK u" + std::to_string(i) + " added to database\n";
    }
    for (int i = 0; i < 300; i++) {
        // Each check needs its set to have been executed before it.
        in += "check u" + std::to_string(i) + " p" + std::to_string(i) + "\n";
        want += "+OK u" + std::to_string(i) + " config 0 n=\"" + std::to_string(i) + "\"\n";
    }
    in += "search u29\nversion";  // the last line has no line end
    RunResult r = run_program(zv(s, {"-"}), in);
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
    EXPECT_TRUE(rest.ends_with("+OK Search Complete 11 items found out of 300\n+OK kvauth 4.0e\n"))
        << rest;

    // A small window, a refused request in the middle and the status 1.
    in.clear();
    want.clear();
    for (int i = 0; i < 200; i++) {
        bool bad = i == 150;
        in += "check u" + std::to_string(i) + (bad ? " nope\n" : " p" + std::to_string(i) + "\n");
        want += bad ? "-ERR u150 password wrong or not a valid user\n"
                    : "+OK u" + std::to_string(i) + " config 0 n=\"" + std::to_string(i) + "\"\n";
    }
    r = run_program(zv(s, {"-window", "8"}), in);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, want);

    // exit ends the batch; the lines after it are not sent.
    r = run_program(zv(s, {"-raw"}), "del u1\nexit\ndel u2\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1 +OK Deleted user successfully\n2 +OK exiting\n");
    r = run_program(zv(s, {"lookup", "u2"}));
    EXPECT_EQ(r.status, 0);
}

TEST(Zorvex, WrongSecret) {
    TestServer s;
    ASSERT_TRUE(s.start());
    ZvClient c;
    ASSERT_TRUE(s.connect(&c));  // makes the server write its secret file
    write_file(s.file("other.dat"), s.secret() + "x\n");
    RunResult r = run_program(zv(s, {"-secret", s.file("other.dat"), "-check", "version"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("wrong shared secret"), std::string::npos) << r.err;
    // Without the check value the server cannot read the request at all.
    r = run_program(zv(s, {"-secret", s.file("other.dat"), "-timeout", "1", "version"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("timed out"), std::string::npos) << r.err;
    r = run_program(zv(s, {"-check", "version"}));
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST(Zorvex, ServerNotRunning) {
    TestServer s;  // never started: nothing listens on its port
    write_file(s.file("xlate.dat"), "abc\n");
    RunResult r = run_program({program_path("zorvex"), "-port", std::to_string(s.port()), "-secret",
                               s.file("xlate.dat"), "check", "a", "b"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("cannot connect"), std::string::npos) << r.err;
    r = run_program({program_path("zorvex"), "-port", std::to_string(s.port()), "-secret",
                     s.file("xlate.dat"), "-"},
                    "version\n");
    EXPECT_EQ(r.status, 2);
}

TEST(Zorvex, Checkpassword) {
    TestServer s;
    ASSERT_TRUE(s.start());
    RunResult r = run_program(zv(s, {"set", "alice", "secret", "home=\"/home/al\" q=\"1\""}));
    ASSERT_EQ(r.status, 0) << r.err;
    r = run_program(zv(s, {"set", "bob", "pw"}));
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> cmd = zv(s, {"-checkpassword", "sh", "-c", kNext});

    // Empty environment, no PATH, empty timestamp: "sh" is still found.
    CpResult c = run_cp(cmd, std::string("alice\0secret\0\0", 14), {});
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.fd4, "alice|/home/al|closed\n");
    EXPECT_EQ(c.out, "");
    // No home value: the mail server's own HOME is not passed on.
    c = run_cp(cmd,
               std::string("bob\0pw\0"
                           "1234\0",
                           12),
               {"HOME=/var/mail"});
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.fd4, "bob|unset|closed\n");

    c = run_cp(cmd, std::string("alice\0wrong\0\0", 13), {});
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(c.fd4, "");
    EXPECT_EQ(c.out, "");
    c = run_cp(cmd, std::string("alice\0secret extra\0\0", 20), {});
    EXPECT_EQ(c.status, 1);
    c = run_cp(cmd, std::string("alice\0\0\0", 8), {});
    EXPECT_EQ(c.status, 1);
    c = run_cp(cmd, "alice", {});
    EXPECT_EQ(c.status, 2);

    ASSERT_TRUE(s.stop());
    c = run_cp(cmd, std::string("alice\0secret\0\0", 14), {});
    EXPECT_EQ(c.status, 111) << c.err;
    EXPECT_EQ(c.fd4, "");
    EXPECT_EQ(c.out, "");
}
