#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "core/emsg.h"
#include "core/ini.h"
#include "net/chan.h"
#include "net/tcplib.h"
#include "pool/ex.h"
#include "session/io.h"
#include "support/server_fixture.h"

namespace {
using Clock = std::chrono::steady_clock;

// A pool over small /bin/sh authenticators written per test, serving a
// channel whose socket's other end the test reads.
class PoolTest : public ::testing::Test {
   protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        chan.sk = static_cast<short>(sv[0]);
        chan.canclose = 1;
        peer = sv[1];
    }
    void TearDown() override {
        ex_reset_for_test();
        if (chan.sk >= 0) close(chan.sk);
        close(peer);
        imsg_close();
        ini_file_set("");
        ini_free();
    }

    // Writes the script body (after the #! line) and starts n copies of it.
    void start(const std::string &body, const std::string &n = "1", const std::string &loop = "") {
        std::string prog = dir.file("auth.sh");
        write_file(prog, "#!/bin/sh\n" + body);
        chmod(prog.c_str(), 0700);
        write_file(dir.file("p.conf"), "logdir " + dir.path() + "\nauthent_process " + prog +
                                           "\nauthent_number " + n + "\nloop " + loop + "\n");
        ini_file_set(dir.file("p.conf").c_str());
        ini_load();
        imsg_open();
        ex_set_reply(io_printf);
        ex_init();
    }
    void cmd(const std::string &line) {
        std::string l = line;
        ex_cmd(&chan, l.data());
    }
    // Polls the pool until `count` reply lines reached the peer or 5 s passed.
    std::vector<std::string> replies(size_t count) {
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < deadline) {
            // The fast loop relays from its wait, the classic one by polling.
            if (tcp_fast())
                tcp_waitchans(nullptr);
            else
                ex_poll();
            pollfd p{peer, POLLIN, 0};
            if (poll(&p, 1, 10) == 1) {
                char buf[4096];
                ssize_t n = read(peer, buf, sizeof buf);
                if (n > 0) got.append(buf, static_cast<size_t>(n));
            }
            std::vector<std::string> lines;
            size_t at = 0;
            for (size_t nl; (nl = got.find("\r\n", at)) != std::string::npos; at = nl + 2)
                lines.push_back(got.substr(at, nl - at));
            if (lines.size() >= count) {
                got.erase(0, at);
                return lines;
            }
        }
        return {};
    }
    std::string log() {
        imsg_flush();
        return read_file(dir.file("zorvexsvr.log"));
    }

    TempDir dir;
    Chan chan;
    int peer = -1;
    std::string got;
};

// Answers every request with its line count and the request itself.
const char *kCounter =
    "n=0\n"
    "while read -r l; do n=$((n+1)); echo \"+DATA $n\"; echo \"+OK [$l]\"; done\n";
}  // namespace

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

// Beyond ten the number is cut, with a log line.
TEST_F(PoolTest, StartsAsManyProcessesAsAllowed) {
    for (auto [value, procs] : {std::pair{"-4", 1}, {"12", 10}}) {
        start(kCounter, value);
        int live = 0;
        for (int p = 0; p < 64; p++) live += ex_state(p) == 1 && ex_pid(p) > 0;
        EXPECT_EQ(live, procs) << value;
        EXPECT_EQ(
            log().find("authent_number 12 is more than 10, starting 10\n") != std::string::npos,
            procs == 10);
        ex_reset_for_test();
        imsg_close();
    }
}

TEST_F(PoolTest, RelaysWithTheIdentifierFreesOnOkAndRestartsADeadProcess) {
    start(kCounter);
    ASSERT_EQ(ex_state(0), 1);
    cmd("42 check bob secret");
    EXPECT_EQ(ex_state(0), 2);
    EXPECT_EQ(chan.canclose, 0);
    // The process sees the text after the identifier, never the identifier.
    EXPECT_EQ(replies(2), (std::vector<std::string>{"42 +DATA 1", "42 +OK [check bob secret]"}));
    EXPECT_EQ(ex_state(0), 1);
    EXPECT_EQ(chan.canclose, 1);
    cmd("-5 a\rb c");  // a CR ends the request text
    EXPECT_EQ(replies(2), (std::vector<std::string>{"-5 +DATA 2", "-5 +OK [a]"}));
    // A line without a space is not sent and holds nothing.
    cmd("17");
    EXPECT_EQ(ex_state(0), 1);
    EXPECT_EQ(chan.canclose, 1);

    // A dead idle process is restarted; the request that found it dead is lost.
    int old = ex_pid(0);
    ASSERT_GT(old, 0);
    kill(old, SIGKILL);
    const std::string stat = "/proc/" + std::to_string(old) + "/stat";
    for (int i = 0; i < 200 && read_file(stat).find(") Z") == std::string::npos; i++) usleep(10000);
    cmd("4 lost");
    EXPECT_EQ(ex_state(0), 1);
    EXPECT_NE(ex_pid(0), old);
    EXPECT_EQ(chan.canclose, 1);
    EXPECT_NE(log().find("spawn_write failed"), std::string::npos);
    EXPECT_NE(log().find("Now try and recreate that child process"), std::string::npos);
    cmd("5 again");
    EXPECT_EQ(replies(2), (std::vector<std::string>{"5 +DATA 1", "5 +OK [again]"}));
}

TEST_F(PoolTest, LinesAfterTheFinishingLineAndOverlongLines) {
    std::string longline(12000, 'x');
    write_file(dir.file("long.txt"), longline + "\n+OK fine\n");
    start("while read -r l; do case \"$l\" in long) /bin/cat " + dir.file("long.txt") +
          ";; *) printf '+OK first\\n+DATA late\\n';; esac; done\n");
    // Lines after the finishing line in one read keep the identifier.
    cmd("8 x");
    EXPECT_EQ(replies(2), (std::vector<std::string>{"8 +OK first", "8 +DATA late"}));
    EXPECT_EQ(ex_state(0), 1);
    // An overlong line fails the request and replaces the process: nothing
    // of it, nor what follows it, is relayed.
    int old = ex_pid(0);
    cmd("9 long");
    EXPECT_EQ(replies(1), (std::vector<std::string>{"9 -ERR External process failed"}));
    EXPECT_EQ(ex_state(0), 1);
    EXPECT_NE(ex_pid(0), old);
}

TEST_F(PoolTest, ConnectionHeldUntilItsLastRequestEnds) {
    std::string gate = dir.file("gate");
    start("while read -r l; do case \"$l\" in slow*) while [ ! -e " + gate +
              " ]; do /bin/sleep 0.05; done;; esac; echo \"+OK $l\"; done\n",
          "2");
    cmd("1 slow");
    cmd("2 fast");
    EXPECT_EQ(replies(1), (std::vector<std::string>{"2 +OK fast"}));
    EXPECT_EQ(chan.canclose, 0);  // slot 0 still serves the connection
    EXPECT_EQ(ex_state(0), 2);
    write_file(gate, "");
    EXPECT_EQ(replies(1), (std::vector<std::string>{"1 +OK slow"}));
    EXPECT_EQ(chan.canclose, 1);
}

TEST_F(PoolTest, AllBusyTooLongResetsEveryProcess) {
    // The first request hangs; the second waits past the (shortened) limit,
    // blocking the classic loop, in the queue of the fast one.
    for (const char *loop : {"", "fast"}) {
        imsg_close();
        unlink(dir.file("zorvexsvr.log").c_str());
        start(
            "while read -r l; do case \"$l\" in hang) while :; do /bin/sleep 1; done;; esac;"
            " echo \"+OK $l\"; done\n",
            "1", loop);
        ex_set_busy_limit(1);
        cmd("1 hang");
        int old = ex_pid(0);
        cmd("2 later");
        EXPECT_EQ(replies(2),
                  (std::vector<std::string>{"1 -ERR External process failed", "2 +OK later"}));
        EXPECT_NE(ex_pid(0), old);
        std::string l = log();
        EXPECT_NE(l.find("All slaves busy, waiting for one"), std::string::npos);
        EXPECT_NE(l.find("Waited 200 seconds, and still all are busy"), std::string::npos);
        ex_reset_for_test();
    }
    // The fast loop's queue holds 10,000 requests; the next is refused at once.
    start("exec /bin/sleep 60\n", "1", "fast");
    for (int i = 0; i <= 10000; i++) cmd(std::to_string(i) + " q");
    cmd("7 over");
    EXPECT_EQ(replies(1), (std::vector<std::string>{"7 -ERR Server busy"}));
}
