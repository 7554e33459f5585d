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

// A whole line of one of the two writers.
bool is_writer_line(const std::string &l) {
    static const std::regex whole("s[01]u[0-9]+:\\*pw:(a{200}|b{200})");
    return std::regex_match(l, whole);
}

bool file_exists(const std::string &p) {
    return std::filesystem::exists(p);
}

Lines split_lines(const std::string &text) {
    Lines out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// SIGKILL at random moments while additions stream in, with rebuilds of a
// 100000-user database going on: after a restart every acknowledged change
// is there, and no older change overrides a newer one.
TEST(EngineIntegration, KilledServerKeepsEveryAcknowledgedChange) {
    constexpr int kBase = 100000;
    TestServer s;
    std::string base;
    for (int i = 0; i < kBase; i++) base += "base" + std::to_string(i) + ":*b:i\n";
    write_file(s.db_dir() + "/kvauth.txt", base);

    std::random_device rd;
    const unsigned seed = rd();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const std::string pad(800, 'p');
    std::map<std::string, int> acked, last_sent;
    int seq = 0, rounds = 0, in_rebuild = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(90);

    // Every acknowledged change must be there after each restart, not only
    // at the end: a later rebuild could otherwise hide a loss.
    auto verify = [&](ZvClient *c) {
        for (const auto &[user, v] : acked) {
            Lines r = s.request(c, 1, "lookup " + user);
            ASSERT_EQ(r.size(), 1u) << user;
            // "1 +OK <user> config 0 v=<n> <pad>"
            const std::string head = "1 +OK " + user + " config 0 v=";
            ASSERT_EQ(r[0].compare(0, head.size(), head), 0) << r[0];
            size_t sp = r[0].find(' ', head.size());
            ASSERT_NE(sp, std::string::npos) << r[0];
            EXPECT_EQ(r[0].substr(sp + 1), pad) << user;
            int got = std::stoi(r[0].substr(head.size(), sp - head.size()));
            EXPECT_GE(got, v) << user << ": an acknowledged change was lost or overridden";
            EXPECT_LE(got, last_sent[user]) << user;
            std::string pw = "pw" + std::to_string(got);
            EXPECT_EQ(s.request(c, 2, "check " + user + " " + pw).at(0).substr(0, 6), "2 +OK ")
                << user;
        }
    };

    for (int round = 0; round < 8 && Clock::now() < deadline; round++, rounds++) {
        ASSERT_TRUE(s.start()) << "round " << round;
        ZvClient c;
        ASSERT_TRUE(s.connect(&c));
        verify(&c);
        if (HasFailure()) return;
        // Odd rounds aim at a rebuild: they wait for kvauth.add_old to appear.
        const bool aim = round % 2 == 1;
        const int delay_ms =
            aim ? static_cast<int>(rng() % 20) : 50 + static_cast<int>(rng() % 600);
        const std::string add_old = s.db_dir() + "/kvauth.add_old";
        std::thread killer([&s, aim, delay_ms, add_old] {
            auto until = Clock::now() + std::chrono::seconds(10);
            while (aim && !file_exists(add_old) && Clock::now() < until)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
            s.kill_hard();
        });
        for (int n = 0; n < 5000; n++) {
            std::string user = "k" + std::to_string(rng() % 200);
            int v = ++seq;
            last_sent[user] = v;
            std::string cmd =
                "set " + user + " *pw" + std::to_string(v) + " v=" + std::to_string(v) + " " + pad;
            Lines r = s.request(&c, v, cmd, 5000);
            if (r != Lines{std::to_string(v) + " +OK " + user + " added to database"}) break;
            acked[user] = v;
        }
        killer.join();
        ASSERT_FALSE(s.alive());
        if (file_exists(s.db_dir() + "/kvauth.add_old") || file_exists(s.db_dir() + "/kvauth.tmp"))
            in_rebuild++;
    }
    RecordProperty("rounds", rounds);
    RecordProperty("killed_in_rebuild", in_rebuild);
    ASSERT_FALSE(acked.empty());

    ASSERT_TRUE(s.start());
    ZvClient c;
    ASSERT_TRUE(s.connect(&c));
    verify(&c);
    for (int i = 0; i < kBase; i += 997) {
        std::string n = "base" + std::to_string(i);
        EXPECT_EQ(s.request(&c, 3, "check " + n + " b"), Lines{"3 +OK " + n + " config 0 i"});
    }
    Lines r = s.request(&c, 4, "search nomatch");
    ASSERT_EQ(r.size(), 1u);
    int total = std::stoi(r[0].substr(r[0].rfind(' ') + 1));
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
    std::atomic<int> acks[2] = {0, 0};
    auto drive = [&](TestServer *s, int k) {
        ZvClient c;
        if (!s->connect(&c)) return;
        std::string info(200, static_cast<char>('a' + k));
        for (int i = 0; i < kPer; i++) {
            std::string user = "s" + std::to_string(k) + "u" + std::to_string(i);
            if (s->request(&c, i, "set " + user + " *pw " + info) ==
                Lines{std::to_string(i) + " +OK " + user + " added to database"})
                acks[k]++;
        }
    };
    std::thread ta(drive, &a, 0), tb(drive, &b, 1);
    ta.join();
    tb.join();
    EXPECT_EQ(acks[0], kPer);
    EXPECT_EQ(acks[1], kPer);

    const std::string db = a.db_dir() + "/";
    std::set<std::string> names;
    for (const auto &l : split_lines(read_file(db + "kvauth.clg"))) {
        ASSERT_TRUE(is_writer_line(l)) << l;
        names.insert(l.substr(0, l.find(':')));
    }
    EXPECT_EQ(names.size(), 2u * kPer);
    for (const char *f : {"kvauth.txt", "kvauth.add", "kvauth.bck"})
        for (const auto &l : split_lines(read_file(db + f)))
            ASSERT_TRUE(is_writer_line(l)) << f << ": " << l;
    // Each server sees the other's last change, and a kvauth.txt put in place by an import.
    for (int round = 0; round < 2; round++) {
        if (round == 1) {
            write_file(db + "kvauth.imp", "imported:*p:x\n");
            ASSERT_EQ(rename((db + "kvauth.imp").c_str(), (db + "kvauth.txt").c_str()), 0);
        }
        for (TestServer *s : {&a, &b}) {
            ZvClient c;
            ASSERT_TRUE(s->connect(&c));
            for (int k = 0; round == 0 && k < 2; k++) {
                std::string u = "s" + std::to_string(k) + "u" + std::to_string(kPer - 1);
                EXPECT_EQ(s->request(&c, 1, "lookup " + u),
                          Lines{"1 +OK " + u + " config 0 " + std::string(200, char('a' + k))});
            }
            if (round == 1) {
                EXPECT_EQ(s->request(&c, 2, "lookup imported"), Lines{"2 +OK imported config 0 x"});
            }
        }
    }
    // The adds passed the threshold several times, in one server or the other.
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
    EXPECT_EQ(last(b, cb, "set gone pw"), "+OK gone added to database");
    EXPECT_EQ(last(a, ca, "lookup gone"), "+OK gone config 0 ");
    EXPECT_EQ(last(a, ca, "mod imported y n=\"2\""), "+OK imported added to database");
    const std::string modified = last(a, ca, "lookup imported");
    EXPECT_NE(modified.find("n=\"2\""), std::string::npos) << modified;
    EXPECT_EQ(last(a, ca, "set late pw2"), "+OK late added to database");
    EXPECT_EQ(last(a, ca, "del gone"), "+OK Deleted user successfully");
    int i = 0;
    for (; i < 2000 && file_exists(db + "kvauth.add"); i++)
        ASSERT_EQ(last(a, ca, "set fill" + std::to_string(i) + " pw"),
                  "+OK fill" + std::to_string(i) + " added to database");
    ASSERT_LT(i, 2000) << "no rebuild happened";
    EXPECT_EQ(last(b, cb, "check late pw2"), "+OK late config 0 ");
    EXPECT_EQ(last(b, cb, "lookup gone"), "-ERR gone not found");
    EXPECT_EQ(last(b, cb, "lookup imported"), modified);
    // Now b folds a's later change in with its own rebuild: nothing is lost.
    EXPECT_EQ(last(a, ca, "set after pw3"), "+OK after added to database");
    for (int j = 0; j < 2000 && (j == 0 || file_exists(db + "kvauth.add")); j++)
        last(b, cb, "set more" + std::to_string(j) + " pw");
    EXPECT_EQ(last(a, ca, "check after pw3"), "+OK after config 0 ");
    EXPECT_EQ(last(a, ca, "check late pw2"), "+OK late config 0 ");
    // A newcomer reads it all from the files.
    EXPECT_TRUE(b.stop());
    ASSERT_TRUE(b.start(false));
    ASSERT_TRUE(b.connect(&cb));
    EXPECT_EQ(last(b, cb, "check after pw3"), "+OK after config 0 ");
    EXPECT_EQ(last(b, cb, "lookup gone"), "-ERR gone not found");
    EXPECT_EQ(last(b, cb, "lookup imported"), modified);
    EXPECT_TRUE(a.stop());
    EXPECT_TRUE(b.stop());
}

}  // namespace
