// Hashes handed to worker threads: each reply reaches its own request's
// held destination, a field changed meanwhile is verified again, rehash
// stores once, and the pool bounds its queue and drops what is left at stop.
#include <crypt.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "core/workers.h"
#include "engine/kvoffload.h"
#include "engine/kvrebuild.h"
#include "engine/kvrehash.h"
#include "engine/passhash.h"
#include "engine_env.h"
#include "lib/lib.h"
#include "net/chan.h"
#include "session/io.h"

namespace {
using Got = std::vector<std::pair<int, std::string>>;
Got got;
int held;
void late_print(void *to, char *t) {
    got.emplace_back(*static_cast<int *>(to), t);
}
void *late_hold(void *to) {
    held++;
    return new int(*static_cast<int *>(to));
}
void late_release(void *to) {
    held--;
    delete static_cast<int *>(to);
}
std::string sha256crypt(const char *pass) {
    crypt_data d{};
    return crypt_r(pass, "$5$rounds=2000$offloadsalt$", &d);
}

class OffloadTest : public EngineTest {
   protected:
    void SetUp() override {
        EngineTest::SetUp();
        got.clear();
        ASSERT_TRUE(workers_start(2));
        kvoffload_bind(workers_submit);
    }
    void TearDown() override {
        kvoffload_bind(nullptr);
        workers_stop();
        rehash_enable(false);
        std::string why;
        EXPECT_TRUE(pass_hash_configure_from("", &why));
        EXPECT_EQ(held, 0) << "a held destination was not released";
        EngineTest::TearDown();
    }
    // One request as the session sends it; then what has come so far, sorted.
    Got send(int id, std::string cmd, bool settle = false) {
        engine_request(cmd.data(), ReplySink{late_print, nullptr, &id, late_hold, late_release});
        engine_after_reply();
        kvauth_setprint(collect);
        for (int i = 0; settle && i < 10000 && workers_pending() > 0; i++) {
            usleep(500);
            workers_drain();
        }
        std::sort(got.begin(), got.end());
        return std::exchange(got, {});
    }
};
}  // namespace

TEST_F(OffloadTest, RepliesGoToTheirRequestsAndChangedFieldsAreVerifiedAgain) {
    db("c:" + sha256crypt("pw") + ":i\nq:*qp:j\nd:" + sha256crypt("pw") + ":k\n");
    const std::string wrong = " password wrong or not a valid user\n";
    EXPECT_EQ(send(1, "check c pw"), Got{});
    EXPECT_EQ(send(2, "check q qp"), (Got{{2, "+OK q config 0 j\n"}}));
    EXPECT_EQ(send(3, "check C bad", true),
              (Got{{1, "+OK c config 0 i\n"}, {3, "-ERR C" + wrong}}));
    EXPECT_EQ(send(4, "check d pw"), Got{});
    EXPECT_EQ(one("set d *other"), "+OK d added to database\n");
    EXPECT_EQ(send(5, "check d other", true),
              (Got{{4, "-ERR d" + wrong}, {5, "+OK d config 0 \n"}}));
    EXPECT_EQ(send(6, "check c pw"), Got{});
    ASSERT_TRUE(store_enter(true));
    EXPECT_TRUE(store().put("c", sha256crypt("pw2").c_str(), "i2", nullptr));
    store_leave(true);
    EXPECT_EQ(send(7, "check c pw2", true),
              (Got{{6, "-ERR c" + wrong}, {7, "+OK c config 0 i2\n"}}));
}

TEST_F(OffloadTest, RehashStoresOnceAfterARightPasswordInBothModes) {
    rehash_enable(true);
    std::string why;
    ASSERT_TRUE(pass_hash_configure_from("sha512-crypt rounds=1000", &why)) << why;
    db("on:" + sha256crypt("pw") + ":i\noff:" + sha256crypt("pw") + ":i\n");
    const std::string old = sha256crypt("pw");
    for (const char *user : {"on", "off"}) {
        if (std::string(user) == "off") kvoffload_bind(nullptr);
        const std::string line = std::string("Rehashed password for user(") + user + ")";
        send(1, std::string("check ") + user + " bad", true);
        EXPECT_FALSE(log_has(line)) << "a wrong password rehashed";
        for (int i = 0; i < 2; i++)
            EXPECT_EQ(send(2, std::string("check ") + user + " pw", true),
                      (Got{{2, std::string("+OK ") + user + " config 0 i\n"}}));
        const std::string lg = log();
        EXPECT_EQ(lg.find(line), lg.rfind(line)) << "rehashed twice: " << user;
        EXPECT_NE(lg.find(line), std::string::npos) << user;
        EXPECT_EQ(std::string(db_pass(user)).substr(0, 6), "$6$rou");
    }
    EXPECT_EQ(rehash_busy(), 0);
    // A change between the check and its rehash wins.
    rehash_note("on", old.c_str(), "pw");
    EXPECT_EQ(one("set on *new"), "+OK on added to database\n");
    engine_after_reply();
    EXPECT_STREQ(db_pass("on"), "*new");
    ASSERT_TRUE(store_enter(true));
    EXPECT_EQ(auth_rebuild(), 1);
    store_leave(true);
    EXPECT_EQ(content("kvauth.txt").find(old), std::string::npos);
    // A set whose hash costs replies once the field is stored.
    kvoffload_bind(workers_submit);
    EXPECT_EQ(send(3, "set fresh pw"), Got{});
    EXPECT_EQ(send(4, "check fresh pw", true),
              (Got{{3, "+OK fresh added to database\n"},
                   {4, "-ERR fresh password wrong or not a valid user\n"}}));
    EXPECT_EQ(send(5, "check fresh pw", true), (Got{{5, "+OK fresh config 0 \n"}}));
    EXPECT_EQ(std::string(db_pass("fresh")).substr(0, 6), "$6$rou");
}

namespace {
std::atomic<bool> gate;
std::atomic<int> alive;
struct GatedJob final : WorkJob {
    GatedJob() { alive++; }
    ~GatedJob() override { alive--; }
    void compute() override {
        while (!gate) usleep(100);
    }
    void finish() override { ADD_FAILURE() << "a dropped job finished"; }
};
}  // namespace

TEST(Workers, QueueIsBoundedAndStopDropsWhatIsLeft) {
    gate = false;
    EXPECT_FALSE(workers_start(0));
    ASSERT_TRUE(workers_start(1));
    int refused = 0;
    for (int i = 0; i < kWorkQueueMax + 2; i++) {
        std::unique_ptr<WorkJob> j = std::make_unique<GatedJob>();
        if (!workers_submit(j)) refused++;
    }
    EXPECT_GE(refused, 1);
    EXPECT_LE(refused, 2);
    gate = true;
    workers_stop();
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(workers_fd(), -1);
}

// A connection closed while its hash is on a worker: its record stays in the
// list until the late reply has found it closed and let it go.
TEST_F(OffloadTest, AClosedConnectionsRecordOutlivesItsLateReply) {
    db("c:" + sha256crypt("pw") + ":i\n");
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    UniqueFd peer(sv[1]);
    Chan *c = chan_new();
    c->sk = static_cast<short>(sv[0]);
    c->canclose = 1;
    auto listed = [c] {
        for (Chan *x = clist; x; x = x->next)
            if (x == c) return true;
        return false;
    };
    char cmd[] = "3 check c pw";
    io_cmd(c, cmd);
    chan_close(c);
    chan_idle();
    EXPECT_TRUE(listed()) << "freed with a reply on its way";
    send(4, "version", true);
    chan_idle();
    EXPECT_FALSE(listed());
}
