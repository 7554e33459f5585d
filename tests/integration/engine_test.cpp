// The engine under the daemon: kills in the middle of changes, and two
// servers sharing one engine directory.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/server_fixture.h"

namespace {
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// SIGKILL at random moments while additions stream in, with rebuilds of a
// 100000-user database going on: after each restart every acknowledged change
// is there, and no older change overrides a newer one.
TEST(EngineIntegration, KilledServerKeepsEveryAcknowledgedChange) {
    constexpr int kBase = 100000;
    TestServer s;
    std::string base;
    for (int i = 0; i < kBase; i++) base += "base" + std::to_string(i) + ":*b:i\n";
    write_file(s.db_dir() + "/kvauth.txt", base);
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::string pad(800, 'p');
    std::map<std::string, int> acked, last_sent;
    int seq = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(90);
    auto verify = [&](ZvClient *c) {
        for (const auto &[user, v] : acked) {
            const std::string r = s.request(c, 1, "lookup " + user).at(0);
            std::smatch m;
            ASSERT_TRUE(std::regex_match(
                r, m, std::regex("1 \\+OK " + user + " config 0 v=([0-9]+) " + pad)))
                << r;
            const int got = std::stoi(m[1]);
            EXPECT_GE(got, v) << user << ": an acknowledged change was lost or overridden";
            EXPECT_LE(got, last_sent[user]) << user;
            EXPECT_EQ(
                s.request(c, 2, "check " + user + " pw" + std::to_string(got)).at(0).substr(0, 6),
                "2 +OK ");
        }
    };
    for (int round = 0; round < 8 && Clock::now() < deadline; round++) {
        ASSERT_TRUE(s.start()) << "round " << round;
        ZvClient c;
        ASSERT_TRUE(s.connect(&c));
        verify(&c);
        if (HasFailure()) return;
        // Odd rounds aim at a rebuild: they wait for kvauth.add_old to appear.
        const bool aim = round % 2 == 1;
        const int delay_ms =
            aim ? static_cast<int>(rng() % 20) : 50 + static_cast<int>(rng() % 600);
        std::thread killer([&s, aim, delay_ms] {
            auto until = Clock::now() + std::chrono::seconds(10);
            while (aim && !fs::exists(s.db_dir() + "/kvauth.add_old") && Clock::now() < until)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
            s.kill_hard();
        });
        for (int n = 0; n < 5000; n++) {
            std::string user = "k" + std::to_string(rng() % 200), v = std::to_string(++seq);
            last_sent[user] = seq;
            if (s.request(&c, seq, "set " + user + " *pw" + v + " v=" + v + " " + pad, 5000) !=
                Lines{v + " +OK " + user + " added to database"})
                break;
            acked[user] = seq;
        }
        killer.join();
        ASSERT_FALSE(s.alive());
    }
    ASSERT_FALSE(acked.empty());
    ASSERT_TRUE(s.start());
    ZvClient c;
    ASSERT_TRUE(s.connect(&c));
    verify(&c);
    for (int i = 0; i < kBase; i += 997) {
        std::string n = "base" + std::to_string(i);
        EXPECT_EQ(s.request(&c, 3, "check " + n + " b"), Lines{"3 +OK " + n + " config 0 i"});
    }
    const std::string r = s.request(&c, 4, "search nomatch").at(0);
    int total = std::stoi(r.substr(r.rfind(' ') + 1));
    EXPECT_GE(total, kBase + static_cast<int>(acked.size()));
    EXPECT_LE(total, kBase + static_cast<int>(last_sent.size()));
    EXPECT_TRUE(s.stop());
}

// Two daemons on one engine directory: the database lock keeps their
// appends and rebuilds apart, so every line of every file stays whole, and
// each replays the other's changes and rebuilds.
TEST(EngineIntegration, TwoServersOnOneDirectoryNeverInterleave) {
    TestServer a, b;
    ASSERT_TRUE(a.start());
    write_file(b.conf_path(), "workarea " + b.dir() + "\nlogdir " + b.dir() + "\nport " +
                                  std::to_string(b.port()) + "\nsecret_file " +
                                  b.file("xlate.dat") + "\nkvauth_path " + a.db_dir() + "\n");
    ASSERT_TRUE(b.start(false));
    constexpr int kPer = 300;
    std::atomic<int> acks = 0;
    auto drive = [&](TestServer *s, int k) {
        ZvClient c;
        if (!s->connect(&c)) return;
        for (int i = 0; i < kPer; i++) {
            std::string user = "s" + std::to_string(k) + "u" + std::to_string(i);
            acks += s->request(&c, i, "set " + user + " *pw " + std::string(200, char('a' + k))) ==
                    Lines{std::to_string(i) + " +OK " + user + " added to database"};
        }
    };
    std::thread ta(drive, &a, 0), tb(drive, &b, 1);
    ta.join();
    tb.join();
    EXPECT_EQ(acks, 2 * kPer);
    const std::string db = a.db_dir() + "/";
    static const std::regex whole("s[01]u[0-9]+:\\*pw:(a{200}|b{200})");
    std::set<std::string> names;
    for (const char *f : {"kvauth.clg", "kvauth.txt", "kvauth.add", "kvauth.bck"}) {
        std::istringstream in(read_file(db + f));
        for (std::string l; std::getline(in, l); names.insert(l.substr(0, l.find(':'))))
            ASSERT_TRUE(std::regex_match(l, whole)) << f << ": " << l;
    }
    EXPECT_EQ(names.size(), 2u * kPer);
    EXPECT_NE((a.log() + b.log()).find("Rebuilding kvauth file"), std::string::npos);

    // a changes and deletes, then adds until its add file is folded into a
    // new kvauth.txt, all while b is idle: b has not replayed those lines.
    ZvClient ca, cb;
    ASSERT_TRUE(a.connect(&ca));
    ASSERT_TRUE(b.connect(&cb));
    int id = 0;
    auto last = [&id](TestServer &s, ZvClient &c, const std::string &cmd) {
        Lines r = s.request(&c, ++id, cmd);
        return r.empty() ? "" : r.back().substr(r.back().find(' ') + 1);
    };
    EXPECT_EQ(last(a, ca, "lookup s1u299"), "+OK s1u299 config 0 " + std::string(200, 'b'));
    EXPECT_EQ(last(b, cb, "set gone pw"), "+OK gone added to database");
    EXPECT_EQ(last(a, ca, "lookup gone"), "+OK gone config 0 ");
    EXPECT_EQ(last(a, ca, "mod s0u1 y n=\"2\""), "+OK s0u1 added to database");
    const std::string modified = last(a, ca, "lookup s0u1");
    EXPECT_NE(modified.find("n=\"2\""), std::string::npos) << modified;
    EXPECT_EQ(last(a, ca, "set late pw2"), "+OK late added to database");
    EXPECT_EQ(last(a, ca, "del gone"), "+OK Deleted user successfully");
    for (int i = 0; i < 2000 && fs::exists(db + "kvauth.add"); i++)
        last(a, ca, "set fill" + std::to_string(i) + " pw");
    ASSERT_FALSE(fs::exists(db + "kvauth.add")) << "no rebuild happened";
    for (int round = 0; round < 2; round++) {  // b replays it all, then a newcomer reads the files
        EXPECT_EQ(last(b, cb, "check late pw2"), "+OK late config 0 ");
        EXPECT_EQ(last(b, cb, "lookup gone"), "-ERR gone not found");
        EXPECT_EQ(last(b, cb, "lookup s0u1"), modified);
        // Now b folds a's later change in with its own rebuild: nothing is lost.
        EXPECT_EQ(last(a, ca, "set after pw3"), "+OK after added to database");
        for (int j = 0; j < 2000 && (j == 0 || fs::exists(db + "kvauth.add")); j++)
            last(b, cb, "set more" + std::to_string(j) + " pw");
        EXPECT_EQ(last(a, ca, "check after pw3"), "+OK after config 0 ");
        EXPECT_TRUE(b.stop());
        ASSERT_TRUE(b.start(false));
        ASSERT_TRUE(b.connect(&cb));
    }
    EXPECT_TRUE(a.stop());
    EXPECT_TRUE(b.stop());
}

}  // namespace
