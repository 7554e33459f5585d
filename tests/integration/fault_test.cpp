// Fault injection around the server: authenticator processes that die, hang
// or flood their pipe, and clients that vanish by the hundred, never read or
// send a line byte by byte. Throughout, the other clients are served.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Waits until the daemon holds want descriptors (want 0: at once); the last
// count seen.
int wait_fds(int pid, int want, int timeout_ms) {
    int n = -1;
    for (int waited = 0;; waited += 50) {
        std::error_code ec;
        auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
        n = ec ? -1 : static_cast<int>(std::distance(it, {}));
        if (want == 0 || n == want || waited >= timeout_ms) return n;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}
}  // namespace

// One process hangs and one dies while busy (the classic loop notices
// neither, the fast one fails the dead one's request at once); the third
// serves everybody, also while another floods its pipe.
TEST(PoolFault, DeadHungAndFloodingProcessesLeaveTheOthersServing) {
    TestServer s;
    write_file(s.file("moody.sh"),
               "#!/bin/sh\nwhile read -r cmd arg; do case \"$cmd\" in\n"
               " die) exit 1;;\n"
               " hang) while read -r x; do :; done; exit 0;;\n"
               " flood) i=0; while [ $i -lt 3000 ]; do echo \"+DATA $i "
               "0123456789abcdef0123456789abcdef\"; i=$((i+1)); done; echo '+OK flooded';;\n"
               " *) echo \"+OK $cmd $arg\";;\n"
               "esac; done\n");
    chmod(s.file("moody.sh").c_str(), 0700);
    s.extra_conf = {"authent_process " + s.file("moody.sh"), "authent_number 3"};
    ASSERT_TRUE(s.start());
    ZvClient hang, die, flood, other;
    for (ZvClient *c : {&hang, &die, &flood, &other}) ASSERT_TRUE(s.connect(c));
    ASSERT_TRUE(cli_send(&hang, 1, "hang now"));
    ASSERT_TRUE(cli_send(&die, 2, "die now"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(s.request(&other, 3, "ping a"), Lines{"3 +OK ping a"});

    // Every line relayed arrives whole, with its identifier, in order; lines
    // that found the client's output full are dropped whole.
    Lines got = s.request(&flood, 4, "flood", 20000);
    ASSERT_FALSE(got.empty());
    int last = -1;
    for (const std::string &l : got) {
        if (l == "4 +OK flooded") continue;
        int n = atoi(l.c_str() + 8);
        EXPECT_EQ(l, "4 +DATA " + std::to_string(n) + " 0123456789abcdef0123456789abcdef");
        EXPECT_GT(n, last);
        last = n;
    }
    EXPECT_EQ(s.request(&other, 5, "ping b", 10000), Lines{"5 +OK ping b"});
    // The server holds the records of the dead and hung process's clients
    // until the pool lets go, and goes on.
    cli_close(&hang);
    cli_close(&die);
    EXPECT_EQ(s.request(&other, 8, "ping d"), Lines{"8 +OK ping d"});
    EXPECT_TRUE(s.stop());
}

// More requests than processes from six connections at once, two of which
// go away while their requests wait: each request still open is answered
// once, with its own identifier and answer, and every descriptor and
// channel record of the round is given back.
TEST(PoolFault, WaitingRequestsOfStayingAndVanishingClients) {
    TestServer s;
    write_file(s.file("echo.sh"),
               "#!/bin/sh\nwhile read -r l; do /bin/sleep 0.01; echo \"+OK $l\"; done\n");
    chmod(s.file("echo.sh").c_str(), 0700);
    s.extra_conf = {"authent_process " + s.file("echo.sh"), "authent_number 2"};
    ASSERT_TRUE(s.start());
    ZvClient first;
    ASSERT_TRUE(s.connect(&first));
    ASSERT_EQ(s.request(&first, 1, "warm"), Lines{"1 +OK warm"});
    const int base = wait_fds(s.pid(), 0, 0);
    std::vector<ZvClient> conns(6);  // the last two go away at once
    std::vector<Lines> want(conns.size());
    for (size_t c = 0; c < conns.size(); c++) {
        ASSERT_TRUE(s.connect(&conns[c]));
        std::string batch;
        for (int id = 1; id <= 10; id++) {
            std::string text = "c" + std::to_string(c) + " r" + std::to_string(id);
            batch += std::to_string(id) + " " + text + "\n";
            want[c].push_back(std::to_string(id) + " +OK " + text);
        }
        ASSERT_TRUE(cli_send_raw(&conns[c], batch));
        if (c >= 4) cli_close(&conns[c]);
    }
    for (size_t c = 0; c < 4; c++) {
        Lines got;  // and a short wait for one more: none may come twice
        for (std::string l; cli_read_line(&conns[c], &l, got.size() < 10 ? 20000 : 300) == 1;)
            got.push_back(l);
        std::sort(got.begin(), got.end());
        std::sort(want[c].begin(), want[c].end());
        EXPECT_EQ(got, want[c]) << "connection " << c;
        cli_close(&conns[c]);
    }
    EXPECT_EQ(wait_fds(s.pid(), base, 10000), base);
    cli_close(&first);  // then every record accepted is freed
    auto count = [&](const std::string &text) {
        std::string l = s.log();
        int n = 0;
        for (size_t at = 0; (at = l.find(text, at)) != std::string::npos; at++) n++;
        return n;
    };
    for (int i = 0; i < 100 && count("Removing channel") < count("Chan accepted"); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(count("Removing channel"), count("Chan accepted"));
    EXPECT_TRUE(s.stop());
}

// Clients gone at once, mid-line, mid-handshake or before reading their
// reply; one that never reads; one that sends a byte at a time. Meanwhile
// the others are served, and every connection is freed again.
TEST(ClientFault, VanishingDeafAndSlowClientsLeaveTheOthersServed) {
    TestServer s;
    write_file(s.db_dir() + "/kvauth.txt", "alice:*secret:q=\"1\"\n");
    ASSERT_TRUE(s.start());
    ZvClient good;
    ASSERT_TRUE(s.connect(&good));
    int id = 1;
    auto alice = [](int n) { return Lines{std::to_string(n) + " +OK alice config 0 q=\"1\""}; };
    auto served = [&] {
        id++;
        return s.request(&good, id, "check alice secret") == alice(id);
    };
    ASSERT_TRUE(served());
    const int base = wait_fds(s.pid(), 0, 0);
    const char *last_words[] = {"", "12 lookup half a li", "3 encrypt tok",
                                "3 encrypt tok\n4 check alice secret\n"};
    for (int i = 0; i < 200; i++) {
        ZvClient v;
        ASSERT_TRUE(cli_connect(&v, "127.0.0.1", s.port(), 5000)) << "client " << i;
        cli_send_raw(&v, last_words[i % 4]);
        cli_close(&v);
        // The listening socket takes one client per cycle: batches of 20
        // keep its queue short.
        EXPECT_TRUE(i % 20 != 19 || served()) << "client " << i;
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
    EXPECT_EQ(reply.substr(0, 11), "9 +ENCRYPT ");
    EXPECT_NE(reply.find(" slowtoken Encryption enabled"), std::string::npos) << reply;
    EXPECT_TRUE(s.stop());
}
