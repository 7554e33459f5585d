// Fault injection around the server: authenticator processes that die, hang
// or flood their pipe, clients that vanish by the hundred, never read or send
// a line byte by byte, and the database lock held by another process.
// Throughout, the other clients are served.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/server_fixture.h"

namespace {
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

int open_fds(int pid) {
    std::error_code ec;
    auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
    return ec ? -1 : static_cast<int>(std::distance(it, {}));
}

// Waits until the daemon holds want descriptors; the last count seen.
int wait_fds(int pid, int want, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int n = open_fds(pid);
    while (n != want && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        n = open_fds(pid);
    }
    return n;
}

// An authenticator with a temper: "die" ends it without a reply, "hang"
// never answers (until its input closes), "flood" writes 3000 data lines,
// "long" a 30000-byte line; anything else is answered at once.
const char *kMoody =
    "while read -r cmd arg; do case \"$cmd\" in\n"
    " die) exit 1;;\n"
    " hang) while read -r x; do :; done; exit 0;;\n"
    " flood) i=0; while [ $i -lt 3000 ]; do echo \"+DATA $i 0123456789abcdef0123456789abcdef\";"
    " i=$((i+1)); done; echo '+OK flooded';;\n"
    " long) head -c 30000 /dev/zero | tr '\\0' x; echo; echo '+OK long';;\n"
    " *) echo \"+OK $cmd $arg\";;\n"
    "esac; done\n";

// A started daemon whose database holds alice, password secret.
bool start_with_alice(TestServer *s) {
    write_file(s->db_dir() + "/kvauth.txt", "alice:*secret:q=\"1\"\n");
    return s->start();
}

// What a request id asking for alice gets.
Lines alice(int id) {
    return Lines{std::to_string(id) + " +OK alice config 0 q=\"1\""};
}
}  // namespace

TEST(PoolFault, DeadHungAndFloodingProcessesLeaveTheOthersServing) {
    TestServer s;
    write_file(s.file("moody.sh"), std::string("#!/bin/sh\n") + kMoody);
    chmod(s.file("moody.sh").c_str(), 0700);
    s.extra_conf = {"authent_process " + s.file("moody.sh"), "authent_number 3"};
    ASSERT_TRUE(s.start());
    ZvClient hang, die, flood, other;
    for (ZvClient *c : {&hang, &die, &flood, &other}) ASSERT_TRUE(s.connect(c));

    // One process hangs and one dies while busy (the classic loop notices
    // neither, the fast one fails the dead one's request at once); the third
    // process serves everybody.
    ASSERT_TRUE(cli_send(&hang, 1, "hang now"));
    ASSERT_TRUE(cli_send(&die, 2, "die now"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(s.request(&other, 3, "ping a"), Lines{"3 +OK ping a"});

    // A flood: every line relayed arrives whole, with its identifier, in
    // order; lines that found the client's output full are dropped whole.
    Lines got = s.request(&flood, 4, "flood", 20000);
    ASSERT_FALSE(got.empty());
    int last = -1;
    for (const std::string &l : got) {
        if (l == "4 +OK flooded") continue;
        ASSERT_EQ(l.rfind("4 +DATA ", 0), 0u) << l;
        int n = atoi(l.c_str() + 8);
        EXPECT_GT(n, last);
        EXPECT_EQ(l, "4 +DATA " + std::to_string(n) + " 0123456789abcdef0123456789abcdef");
        last = n;
    }
    EXPECT_EQ(s.request(&other, 5, "ping b", 10000), Lines{"5 +OK ping b"});

    // A line longer than the reply buffer fails the request and replaces
    // the process; nothing of the line is relayed.
    EXPECT_EQ(s.request(&flood, 6, "long", 10000), Lines{"6 -ERR External process failed"});
    EXPECT_EQ(s.request(&other, 7, "ping c"), Lines{"7 +OK ping c"});

    // The clients of the dead and the hung process may leave; the server
    // holds their records until the pool lets go, and goes on.
    cli_close(&hang);
    cli_close(&die);
    EXPECT_EQ(s.request(&other, 8, "ping d"), Lines{"8 +OK ping d"});
    EXPECT_TRUE(s.alive());
    EXPECT_TRUE(s.stop());
}

// Clients gone at once, mid-line, mid-handshake or before reading their
// reply; one that never reads; one that sends a byte at a time. Meanwhile
// the others are served, and every connection is freed again.
TEST(ClientFault, VanishingDeafAndSlowClientsLeaveTheOthersServed) {
    TestServer s;
    ASSERT_TRUE(start_with_alice(&s));
    ZvClient good;
    ASSERT_TRUE(s.connect(&good));
    int id = 1;
    auto served = [&] {
        id++;
        return s.request(&good, id, "check alice secret") == alice(id);
    };
    ASSERT_TRUE(served());
    const int base = open_fds(s.pid());
    ASSERT_GT(base, 0);
    const char *last_words[] = {"", "12 lookup half a li", "3 encrypt tok",
                                "3 encrypt tok\n4 check alice secret\n"};
    for (int i = 0; i < 200; i++) {
        ZvClient v;
        ASSERT_TRUE(cli_connect(&v, "127.0.0.1", s.port(), 5000)) << "client " << i;
        cli_send_raw(&v, last_words[i % 4]);
        cli_close(&v);
        // The listening socket takes one client per cycle: batches of 20
        // keep its queue short.
        if (i % 20 == 19) {
            EXPECT_TRUE(served());
        }
    }
    EXPECT_EQ(wait_fds(s.pid(), base, 20000), base);

    // Far more replies than its socket and output buffer hold.
    ZvClient deaf;
    ASSERT_TRUE(s.connect(&deaf));
    std::string burst;
    for (int i = 0; i < 2000; i++) burst += std::to_string(i) + " search *\n";
    for (int round = 0; round < 10; round++) {
        ASSERT_TRUE(cli_send_raw(&deaf, burst));
        EXPECT_TRUE(served());
    }
    cli_close(&deaf);
    EXPECT_EQ(wait_fds(s.pid(), base, 10000), base);

    // One byte every 20 ms, enciphered and then of a handshake in clear text.
    ZvClient slow, raw;
    ASSERT_TRUE(s.connect(&slow));
    ASSERT_TRUE(cli_connect(&raw, "127.0.0.1", s.port(), 5000));
    for (auto [c, text] :
         {std::pair{&slow, "7 check alice secret\r\n"}, std::pair{&raw, "9 encrypt slowtoken\n"}}) {
        for (const char *p = text; *p; p++) {
            ASSERT_TRUE(cli_send_raw(c, std::string(1, *p)));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_TRUE(served());
        }
    }
    std::string reply;
    ASSERT_EQ(cli_read_line(&slow, &reply, 5000), 1);
    EXPECT_EQ(Lines{reply}, alice(7));
    ASSERT_EQ(cli_read_line(&raw, &reply, 5000), 1);
    EXPECT_EQ(reply.rfind("9 +ENCRYPT ", 0), 0u) << reply;
    EXPECT_NE(reply.find(" slowtoken Encryption enabled"), std::string::npos) << reply;
    EXPECT_TRUE(s.stop());
}

TEST(LockFault, LockHeldByAnotherProcessDelaysTheServerAndLosesNothing) {
    TestServer s;
    ASSERT_TRUE(start_with_alice(&s));
    ZvClient a, b;
    ASSERT_TRUE(s.connect(&a));
    ASSERT_TRUE(s.connect(&b));
    ASSERT_EQ(s.request(&a, 1, "set bob pw q=\"2\""), Lines{"1 +OK bob added to database"});

    // This test process takes the lock, as another kvauth or server would.
    int fd = open((s.db_dir() + "/kvauth.lck3").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_SETLK, &fl), 0);
    auto lock_calls = [&s] {
        std::string log = s.log();
        int n = 0;
        for (size_t at = log.find("flock_fcntl locking"); at != std::string::npos;
             at = log.find("flock_fcntl locking", at + 1))
            n++;
        return n;
    };
    int calls = lock_calls();
    ASSERT_TRUE(cli_send(&a, 2, "set carol pw q=\"3\""));
    // Once the server waits for the lock, another client asks.
    for (int i = 0; i < 250 && lock_calls() == calls; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GT(lock_calls(), calls);
    ASSERT_TRUE(cli_send(&b, 3, "check alice secret"));
    // The one thread waits for the lock: nobody is answered meanwhile.
    std::string line;
    EXPECT_EQ(cli_read_line(&a, &line, 1500), 0);
    EXPECT_EQ(cli_read_line(&b, &line, 500), 0);
    EXPECT_TRUE(s.alive());
    close(fd);  // releases the lock

    ASSERT_EQ(cli_read_line(&a, &line, 5000), 1);
    EXPECT_EQ(line, "2 +OK carol added to database");
    ASSERT_EQ(cli_read_line(&b, &line, 5000), 1);
    EXPECT_EQ(Lines{line}, alice(3));
    EXPECT_TRUE(s.stop());
    std::string adds = read_file(s.db_dir() + "/kvauth.add");
    EXPECT_NE(adds.find("bob:"), std::string::npos);
    EXPECT_NE(adds.find("carol:"), std::string::npos);
}
