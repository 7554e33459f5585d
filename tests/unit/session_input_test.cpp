// The memory of a replay, and the reply path of a connection.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "engine_env.h"
#include "net/chan.h"
#include "server/zorvexsvr.h"
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

// A connection whose kernel buffer the test fills, so that replies wait in
// the channel. The fast loop keeps every line; above 1 MB it pauses the
// connection's requests (one already read waits too) until the peer has
// read, then frees the grown buffer; past 64 MB waiting it closes the
// connection. After a command the engine's output reaches the connection no
// more (it may be freed by then).
using ReplyPath = EngineTest;
TEST_F(ReplyPath, FastLoopKeepsAllUpTo64MBAndTheEngineLetsGo) {
    write_file(file("zorvexsvr.conf"), "logdir " + dir_.path() + "\nloop fast\n");
    ini_load();
    main_pick_loop();
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    UniqueFd peer(sv[1]);
    Chan &c = *chan_new();
    c.sk = static_cast<short>(sv[0]);
    chan_setread(&c, io_read, nullptr);
    chan_setwrite(&c, io_write, nullptr);
    auto fill = [&] {
        for (std::string f(4096, 'f'); write(sv[0], f.data(), f.size()) > 0;) {
        }
    };
    std::string sent, got, line = "1 +DATA " + std::string(400, 'd') + "\r\n";
    auto drain = [&] {
        char bf[65536];
        for (ssize_t n = 1; n > 0 || c.outlen > 0;) {
            io_write(&c, nullptr);
            if ((n = read(sv[1], bf, sizeof bf)) > 0) got.append(bf, static_cast<size_t>(n));
        }
    };
    fill();
    ASSERT_EQ(write(sv[1], "7 x\n", 4), 4);
    ASSERT_EQ(chan_readin(&c), 1);
    for (int i = 0; i < 3000; i++, sent += line) ASSERT_GT(io_printf(&c, "%s", line.c_str()), 0);
    EXPECT_EQ(c.paused, 1);
    char cmd[] = "5 version";
    io_cmd(&c, cmd);
    buf_print("+OK late\n");
    chan_lines(&c, io_line);
    drain();
    EXPECT_EQ(c.paused, 0);
    EXPECT_EQ(c.out.get(), nullptr);
    tcp_waitchans(clist);
    drain();
    EXPECT_EQ(got.substr(got.find_first_not_of('f')),
              sent + "5 +OK kvauth 4.0e\r\n7 +ERR Sorry you must use encrypted mode\r\n");
    EXPECT_STREQ(buf_text(), "+OK late\n");
    fill();
    int n = 0;
    while (n < 40000 && io_printf(&c, "1 %01990d\r\n", 0) > 0) n++;
    EXPECT_EQ(n, (64 << 20) / 1994);
    EXPECT_EQ(c.sk, -1);
    EXPECT_TRUE(log_has("Output to socket " + std::to_string(sv[0]) + " full ("));
    chan_release(&c);
    chan_idle();
    ini_free();
    main_pick_loop();
}
