// Regressions: the reply of an engine that stops the process, and the
// memory of a replay.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/kvprint.h"
#include "engine/kvfilename.h"
#include "net/chan.h"
#include "session/io.h"
#include "lib/xlate.h"
#include "engine_env.h"

namespace {
// A client channel on one end of a socket pair, enciphered with a known
// seed; the test talks through the other end.
struct Pair {
    Pair() {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        fcntl(sv[0], F_SETFL, O_NONBLOCK);
        c.sk = static_cast<short>(sv[0]);
        c.canclose = 1;
        c.rin.reset(rand_seed(kSeed));
        c.rout.reset(rand_seed(kSeed));
        send.reset(rand_seed(kSeed));
        recv.reset(rand_seed(kSeed));
    }
    ~Pair() {
        if (c.sk != -1) close(c.sk);
        close(sv[1]);
    }
    void write_line(std::string line) {
        xlate_out(send.get(), line.data(), static_cast<int>(line.size()));
        ASSERT_EQ(write(sv[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    std::string read_all() {
        fcntl(sv[1], F_SETFL, O_NONBLOCK);
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = read(sv[1], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        xlate_in(recv.get(), out.data(), static_cast<int>(out.size()));
        return out;
    }

    static constexpr uint32_t kSeed = 12345;
    int sv[2];
    Chan c;
    RhandPtr send, recv;
};
}  // namespace

// The engine stops the process when it cannot take the database lock. Its
// reply used to wait in the connection's deferred output and die with the
// process; the client must get it first.
TEST(EngineFlushDeathTest, ReplyBeforeTheEngineStopsReachesTheClient) {
    // The forked child shares the socket pair with this process.
    GTEST_FLAG_SET(death_test_style, "fast");
    Pair p;
    p.write_line("4 set bob pw\n");
    EXPECT_DEATH(
        {
            ini_free();
            kvindex_reset_for_test();
            kvauth_set_path("/nonexistent/zorvex/engine");
            io_read(&p.c, nullptr);
        },
        "");
    EXPECT_EQ(p.read_all(), "4 -ERR Unable to create lock file (No such file or directory)\r\n");
}

// Every replay applies the whole add file again; lines already in force
// used to copy their password and information into the pool each time, so a
// busy server grew by megabytes a minute (found by the soak test).
using ReplayMemory = EngineTest;

TEST_F(ReplayMemory, ReplayingLinesAlreadyInForceTakesNoMemory) {
    db("alice:*a:q=\"1\"\n");
    std::string text;
    for (int i = 0; i < 100; i++)
        text += "user" + std::to_string(i) + ":*pw:note=\"" + std::string(100, 'n') + "\"\n";
    add(text + "alice:(NULL):q=\"2\"\n");
    ASSERT_EQ(build_index("test"), 1);
    check_add();
    long bytes = auth_index_bytes();
    for (int i = 0; i < 300; i++) {
        set_add_file_reread();
        check_add();
    }
    EXPECT_EQ(auth_index_bytes(), bytes);
    ASSERT_NE(auth_find("alice"), nullptr);
    EXPECT_STREQ(auth_find("alice")->info, "q=\"2\"");
    EXPECT_STREQ(auth_find("alice")->pass, "*a");
    EXPECT_EQ(auth_user_count(), 101);
}
