#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/timer.h"
#include "session/brake.h"

namespace {
// One step of a scenario at time t (ms): 'A' a check arrives and gets want
// ('N' now, 'L' later at at, 'R' refused); 'F' / 'S' an evaluated check
// fails / succeeds; 'V' a waiting check leaves; 'E' want is the number of
// entries tracked.
struct Step {
    int64_t t;
    char op;
    const char *user;
    const char *addr;
    char want = 0;
    int64_t at = 0;
};

void run(const BrakeRules &r, const std::vector<Step> &steps) {
    brake_configure(r);
    for (const Step &s : steps) {
        SCOPED_TRACE(testing::Message()
                     << "t=" << s.t << " " << s.op << " " << s.user << " " << s.addr);
        if (s.op == 'F' || s.op == 'S') brake_result(s.user, s.addr, s.op == 'S', s.t);
        if (s.op == 'V') brake_leave(s.user, s.addr);
        if (s.op == 'E') {
            EXPECT_EQ(brake_entries(), static_cast<size_t>(s.want));
        }
        if (s.op != 'A') continue;
        BrakeVerdict v = brake_admit(s.user, s.addr, s.t);
        char got = v.call == BrakeCall::kNow ? 'N' : v.call == BrakeCall::kLater ? 'L' : 'R';
        EXPECT_EQ(got, s.want);
        if (s.want == 'L') {
            EXPECT_EQ(v.at, s.at);
        }
    }
}

BrakeRules rules(int failures, int window_s = 60, int cap_s = 4, size_t entries = 1000) {
    return BrakeRules{failures, window_s, cap_s, entries};
}
}  // namespace

TEST(Brake, ThresholdDoublingCapAndFallBack) {
    run(rules(3), {
                      {0, 'A', "u", "192.0.2.1", 'N'},
                      {0, 'F', "u", "192.0.2.1"},
                      {10, 'F', "u", "192.0.2.1"},
                      {20, 'A', "u", "192.0.2.1", 'N'},
                      {20, 'F', "u", "192.0.2.1"},  // third failure: braked, 1 s
                      {30, 'A', "u", "192.0.2.1", 'L', 1020},
                      {1020, 'V', "u", "192.0.2.1"},
                      {1020, 'F', "u", "192.0.2.1"},  // doubled to 2 s from the turn taken
                      {1030, 'A', "u", "192.0.2.1", 'L', 3020},
                      {3020, 'V', "u", "192.0.2.1"},
                      {3020, 'F', "u", "192.0.2.1"},  // 4 s, the cap
                      {3030, 'A', "u", "192.0.2.1", 'L', 7020},
                      {7020, 'V', "u", "192.0.2.1"},
                      {7020, 'F', "u", "192.0.2.1"},  // stays at the cap
                      {7030, 'A', "u", "192.0.2.1", 'L', 11020},
                      {11020, 'V', "u", "192.0.2.1"},
                      // A window without failure releases both the user and the address.
                      {71021, 'A', "u", "192.0.2.1", 'N'},
                      {71021, 'F', "u", "192.0.2.1"},
                      {71030, 'A', "u", "192.0.2.1", 'N'},
                  });
    // Failures further apart than the window never add up.
    run(rules(2, 10), {{0, 'F', "u", ""},
                       {10001, 'F', "u", ""},
                       {10002, 'A', "u", "", 'N'},
                       {10003, 'F', "u", ""},
                       {10004, 'A', "u", "", 'L', 11003}});
}

TEST(Brake, KnownAddressesOtherUsersAndTheWaitBound) {
    run(rules(2), {
                      {0, 'S', "u", "198.51.100.7"},  // remembered login
                      {0, 'F', "u", "192.0.2.1"},
                      {0, 'F', "u", "192.0.2.2"},  // user braked, addresses not
                      // Other addresses and no address wait for the user's turn; the
                      // known address passes, as does another user from the guessing address.
                      {5, 'A', "u", "192.0.2.3", 'L', 1000},
                      {6, 'A', "u", "", 'L', 2000},
                      {7, 'A', "u", "192.0.2.4", 'R'},
                      {8, 'A', "u", "198.51.100.7", 'N'},
                      {9, 'A', "v", "192.0.2.1", 'N'},
                      {9, 'A', "v", "", 'N'},
                      // "::ffff:198.51.100.7" is the same address; a name is no address.
                      {10, 'A', "u", "::ffff:198.51.100.7", 'N'},
                      {11, 'A', "u", "host.example", 'R'},
                      {1000, 'V', "u", "192.0.2.3"},
                      {1001, 'A', "u", "192.0.2.5", 'L', 3000},
                  });
    // A braked address holds every user back from it; a known login of one
    // user does not free the address.
    run(rules(2), {
                      {0, 'S', "u", "192.0.2.9"},
                      {0, 'F', "a", "192.0.2.9"},
                      {0, 'F', "b", "192.0.2.9"},
                      {1, 'A', "c", "192.0.2.9", 'L', 1000},
                      {2, 'A', "u", "192.0.2.9", 'L', 2000},
                      {3, 'A', "c", "192.0.2.10", 'N'},
                  });
    run(rules(0),
        {{0, 'F', "u", ""}, {0, 'F', "u", ""}, {1, 'A', "u", "", 'N'}, {1, 'E', "", "", 0}});
}

TEST(Brake, MemoryIsBoundedLeastRecentFirst) {
    std::vector<Step> s;
    s.push_back({0, 'F', "victim", ""});
    s.push_back({0, 'F', "victim", ""});
    s.push_back({1, 'A', "victim", "", 'L', 1000});
    // Ten more users push the braked one out of a table of eight.
    const char *names[] = {"u0", "u1", "u2", "u3", "u4", "u5", "u6", "u7", "u8", "u9"};
    for (const char *n : names) s.push_back({2, 'F', n, ""});
    s.push_back({3, 'E', "", "", 8});
    s.push_back({4, 'A', "victim", "", 'N'});
    run(rules(2, 60, 4, 8), s);
}

// Twenty thousand entries through a table of 127: the latest 127 are still
// found, whatever slots the evicted ones freed around them, and no older one.
TEST(Brake, ChurnKeepsExactlyTheLatestEntries) {
    const int n = 20000, keep = 127;
    std::vector<std::string> names;
    for (int i = 0; i < n; i++) names.push_back("user" + std::to_string(i * 7919 % 100000));
    std::vector<Step> s;
    for (int i = 0; i < n; i++) s.push_back({i, 'F', names[i].c_str(), ""});
    s.push_back({n, 'E', "", "", keep});
    for (int i = n - keep; i < n; i++) s.push_back({n, 'A', names[i].c_str(), "", 'L', i + 1000});
    for (int i = 0; i < n - keep; i += 97) s.push_back({n, 'A', names[i].c_str(), "", 'N'});
    run(rules(1, 60, 4, keep), s);
}

TEST(Timer, RunsDueTimersInOrderAndBoundsTheWait) {
    timer_clear();
    std::vector<int> ran;
    static std::vector<int> *out;
    out = &ran;
    auto note = [](void *a) { out->push_back(static_cast<int>(reinterpret_cast<intptr_t>(a))); };
    auto again = [](void *) {
        timer_add(
            0, [](void *) { out->push_back(9); }, nullptr);
    };
    EXPECT_EQ(timer_wait_ms(100, 0), 100);
    timer_add(50, note, reinterpret_cast<void *>(2));
    timer_add(20, note, reinterpret_cast<void *>(1));
    timer_add(50, note, reinterpret_cast<void *>(3));
    timer_add(500, again, nullptr);
    EXPECT_EQ(timer_wait_ms(100, 0), 20);
    EXPECT_EQ(timer_wait_ms(100, 10), 10);
    EXPECT_EQ(timer_wait_ms(100, 60), 0);
    EXPECT_EQ(timer_run(19), 0);
    EXPECT_EQ(timer_run(50), 3);
    EXPECT_EQ(timer_wait_ms(100, 50), 100);
    EXPECT_EQ(timer_run(500), 2);  // one added by a timer, due already
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 9}));
    EXPECT_EQ(timer_count(), 0u);
}
