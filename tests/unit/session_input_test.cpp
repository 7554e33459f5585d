// The memory of a replay, and the reply path of a connection.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <tuple>

#include "engine_env.h"
#include "net/chan.h"
#include "session/io.h"

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

// A connection whose peer end the test reads, its kernel buffer stuffed with
// "f" so that replies wait in the channel until the peer reads.
class ReplyPath : public EngineTest {
   protected:
    void open(const std::string &loop) {
        write_file(file("zorvexsvr.conf"), "logdir " + dir_.path() + "\nloop " + loop + "\n");
        ini_load();
        if (c_->sk != -1) chan_close(c_.get());
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        c_ = std::make_unique<Chan>();
        c_->sk = static_cast<short>(sv[0]);
        peer_.reset(sv[1]);
        for (std::string f(4096, 'f'); write(sv[0], f.data(), f.size()) > 0;) {
        }
    }
    void TearDown() override {
        if (c_->sk != -1) chan_close(c_.get());
        EngineTest::TearDown();
    }
    // What the peer receives after the "f"s while the channel writes.
    std::string drain(bool write = true) {
        std::string got;
        char bf[65536];
        for (ssize_t n = 1; n > 0 || (write && c_->sk != -1 && c_->outlen > 0);) {
            if (write && c_->sk != -1) io_write(c_.get(), nullptr);
            if ((n = read(peer_.get(), bf, sizeof bf)) > 0) got.append(bf, static_cast<size_t>(n));
        }
        return got.substr(std::min(got.size(), got.find_first_not_of('f')));
    }
    std::unique_ptr<Chan> c_ = std::make_unique<Chan>();
    UniqueFd peer_;
};

// The classic loop: 7990 bytes wait at most, a data line beyond is dropped;
// a final line goes out once the peer takes what waits, else the connection
// is closed. The fast loop keeps all and pauses the requests above 1 MB
// until the peer reads, then frees the grown buffer; past 64 MB it closes.
TEST_F(ReplyPath, DataLinesMayBeDroppedNeverAFinalLine) {
    for (auto [text, reads, closed] : {std::tuple{"+DATA more", false, false},
                                       {"+OK done", false, true},
                                       {"-DEAD lock", false, true},
                                       {"+ENCRYPT 1 t", false, true},
                                       {"-ERR no", true, false}}) {
        SCOPED_TRACE(text);
        open("classic");
        std::string sent, got;
        for (int i = 0; i < 1000 && io_printf(c_.get(), "1 +DATA x\r\n"); i++)
            sent += "1 +DATA x\r\n";
        EXPECT_EQ(sent.size(), 7986u);
        if (reads) got = drain(false);
        EXPECT_EQ(io_printf(c_.get(), "2 %s\r\n", text) > 0, reads);
        EXPECT_EQ(c_->sk == -1, closed);
        if (reads) {
            EXPECT_EQ(got + drain(), sent + "2 " + text + "\r\n");
        }
    }
    open("fast");
    std::string sent, line = "1 +DATA " + std::string(400, 'd') + "\r\n";
    for (int i = 0; i < 3000; i++, sent += line)
        ASSERT_GT(io_printf(c_.get(), "%s", line.c_str()), 0);
    EXPECT_EQ(c_->paused, 1);
    EXPECT_EQ(drain(), sent);
    EXPECT_EQ(c_->paused, 0);
    EXPECT_EQ(c_->out.get(), nullptr);
    open("fast");
    int n = 0;
    while (n < 40000 && io_printf(c_.get(), "1 %01990d\r\n", 0) > 0) n++;
    EXPECT_EQ(n, (64 << 20) / 1994);
    EXPECT_EQ(c_->sk, -1);
    EXPECT_TRUE(log_has("Output to socket "));
}

// After its command the engine's output reaches no connection: the record
// may be freed by then.
TEST_F(ReplyPath, EngineOutputUnboundWhenItsCommandEnds) {
    open("classic");
    char cmd[] = "5 version";
    ASSERT_EQ(io_cmd(c_.get(), cmd), 1);
    buf_print("+OK late\n");
    buf_flush();
    EXPECT_EQ(drain(), "5 +OK kvauth 4.0e\r\n");
    EXPECT_STREQ(buf_text(), "+OK late\n");
}
