#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "core/emsg.h"
#include "core/ini.h"
#include "net/chan.h"
#include "pool/ex.h"
#include "server/zorvexsvr.h"
#include "session/io.h"
#include "support/server_fixture.h"

// The relay rules are in tests/transcripts/pool_*.t; here what a transcript
// can't reach: the parsing of authent_number and a pool busy for minutes.
TEST(PoolSize, AuthentNumberRules) {
    struct {
        const char *value;
        int n;
    } cases[] = {{"", 1},  {"0", 1},   {"abc", 1}, {"-3", 1},           {"1", 1},
                 {"3", 3}, {"10", 10}, {"11", 10}, {"99999999999", 10}, {"4x", 4}};
    TempDir d;
    for (const auto &c : cases) {
        write_file(d.file("n.conf"), std::string("authent_number ") + c.value + "\n");
        ini_file_set(d.file("n.conf").c_str());
        ini_load();
        EXPECT_EQ(ex_n(), c.n) << "authent_number '" << c.value << "'";
    }
    ini_file_set("");
    ini_free();
}

// A pool of /bin/sh authenticators serving a channel whose socket's other
// end the test reads. A request that hangs past the (shortened) limit is
// failed and its process replaced: in the classic loop once another request
// has waited that long with every process busy (blocking it), in the fast
// loop once the process has worked that long on it, whatever waits.
TEST(PoolBusy, ProcessesBusyTooLongAreReset) {
    signal(SIGPIPE, SIG_IGN);
    TempDir dir;
    std::string prog = dir.file("auth.sh");
    Chan chan;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    chan.sk = static_cast<short>(sv[0]);
    chan.canclose = 1;
    // Ends and reaps the processes, which ex_close leaves running; closes the pool.
    auto stop = [] {
        for (int p = 0, pid; p < 10; p++)
            if ((pid = ex_pid(p)) > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
        ex_close();
    };
    bool fast = false;
    auto start = [&](const std::string &body, const std::string &loop, int n = 1) {
        stop();
        imsg_close();
        unlink(dir.file("zorvexsvr.log").c_str());
        write_file(prog, "#!/bin/sh\n" + body);
        chmod(prog.c_str(), 0700);
        write_file(dir.file("p.conf"), "logdir " + dir.path() + "\nauthent_process " + prog +
                                           "\nloop " + loop + "\nauthent_number " +
                                           std::to_string(n) + "\n");
        ini_file_set(dir.file("p.conf").c_str());
        ini_load();
        main_pick_loop();
        fast = loop == "fast";
        imsg_open();
        ex_set_reply(io_printf);
        chan_set_idle([] { ex_poll(); });
        tcp_set_fatal(abort);  // a failed wait must fail the test, not end it with status 0
        ex_init(1);
    };
    auto cmd = [&](std::string line) { ex_cmd(&chan, line.data()); };
    auto logged = [&](const std::string &text) {
        imsg_flush();
        std::string log = read_file(dir.file("zorvexsvr.log"));
        int n = 0;
        for (size_t at = 0; (at = log.find(text, at)) != std::string::npos; at++) n++;
        return n;
    };
    // Runs the pool until `count` reply lines reached the peer or 20 s
    // passed; the lines in the order they came.
    std::string got;
    auto replies = [&](size_t count) {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
             std::chrono::steady_clock::now() < end;) {
            // The fast loop relays from its wait, the classic one by polling.
            fast ? tcp_waitchans(nullptr) : ex_poll();
            pollfd p{sv[1], POLLIN, 0};
            char buf[4096];
            ssize_t n = poll(&p, 1, 10) == 1 ? read(sv[1], buf, sizeof buf) : 0;
            got.append(buf, static_cast<size_t>(n > 0 ? n : 0));
            std::vector<std::string> lines;
            size_t at = 0;
            for (size_t nl; (nl = got.find("\r\n", at)) != std::string::npos; at = nl + 2)
                lines.push_back(got.substr(at, nl - at));
            if (lines.size() >= count) {
                got.erase(0, at);
                return lines;
            }
        }
        return std::vector<std::string>{};
    };
    const std::string script =
        "while read -r l; do case \"$l\" in hang) while :; do /bin/sleep 1; done;;"
        " nap) /bin/sleep 0.2;; esac; echo \"+OK $l\"; done\n";
    start(script, "");
    cmd("1 hang");
    int old = ex_pid(0);
    cmd("2 later");
    EXPECT_EQ(replies(2),
              (std::vector<std::string>{"1 -ERR External process failed", "2 +OK later"}));
    EXPECT_NE(ex_pid(0), old);
    EXPECT_TRUE(logged("Waited 200 seconds, and still all are busy"));
    // The wait logs one line per 0.1 s pass: the reset came after about the
    // limit's second, not several.
    int waits = logged("All slaves busy, waiting for one");
    EXPECT_TRUE(waits > 0 && waits < 40) << waits;
    // Fast loop: a backlog of short requests outlasting the limit beside one
    // that hangs. Only the hung process is reset.
    start(script, "fast", 3);
    cmd("1 hang");
    old = ex_pid(0);
    for (int i = 2; i <= 31; i++) cmd(std::to_string(i) + " nap");
    std::vector<std::string> all = replies(31);
    EXPECT_EQ(std::count(all.begin(), all.end(), "1 -ERR External process failed"), 1);
    EXPECT_EQ(std::count_if(all.begin(), all.end(),
                            [](const std::string &l) { return l.ends_with(" +OK nap"); }),
              30);
    EXPECT_TRUE(logged("Slot 0 (pid " + std::to_string(old) +
                       ") has worked on one request for more than 1 seconds"));
    // The loop does not wait for a killed process (one that only SIGKILL
    // ends); it reaps it later.
    cmd("32 hang");
    int pid = ex_pid(0);
    ex_reset(0);
    EXPECT_EQ(kill(pid, 0), 0);
    for (int i = 0; i < 500 && kill(pid, 0) == 0; i++) tcp_waitchans(nullptr);
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(replies(1), (std::vector<std::string>{"32 -ERR External process failed"}));
    // The fast loop's queue holds 10,000 requests; the next is refused at once.
    start("exec /bin/sleep 60\n", "fast");
    for (int i = 0; i <= 10000; i++) cmd(std::to_string(i) + " q");
    cmd("7 over");
    EXPECT_EQ(replies(1), (std::vector<std::string>{"7 -ERR Server busy"}));
    stop();
    chan_set_idle(nullptr);
    tcp_set_fatal(nullptr);
    close(chan.sk);
    close(sv[1]);
    imsg_close();
    ini_file_set("");
    ini_free();
    main_pick_loop();
}
