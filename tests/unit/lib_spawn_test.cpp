#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "core/emsg.h"
#include "core/ini.h"
#include "pool/lib_spawn.h"
#include "support/server_fixture.h"

namespace {
// Reads what the child writes until a LF arrives or two seconds pass.
std::string read_reply(int fd) {
    std::string out;
    while (out.find('\n') == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) break;
        char buf[512];
        int n = spawn_read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

class SpawnTest : public ::testing::Test {
   protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        write_file(dir.file("s.conf"), "logdir " + dir.path() + "\n");
        ini_file_set(dir.file("s.conf").c_str());
        ini_load();
        imsg_open();
        // Answers each line with the descriptors it has open, on one line.
        write_file(prog, "#!/bin/sh\nwhile read -r l; do /bin/ls -m -w 0 /proc/$$/fd; done\n");
        chmod(prog.c_str(), 0700);
    }
    void TearDown() override {
        imsg_close();
        ini_file_set("");
        ini_free();
    }
    std::string log() {
        imsg_flush();
        return read_file(dir.file("zorvexsvr.log"));
    }

    TempDir dir;
    std::string prog = dir.file("fds.sh");
};
}  // namespace

// A later child sees the same descriptors as an earlier one: none of the
// earlier child's pipes.
TEST_F(SpawnTest, ChildrenDoNotInheritEachOthersPipes) {
    int in1, out1, in2, out2;
    char msg[1000] = "";
    int p1 = lib_spawn_noenv(prog.c_str(), &in1, &out1, msg);
    ASSERT_GT(p1, 0) << msg;
    int p2 = lib_spawn_noenv(prog.c_str(), &in2, &out2, msg);
    ASSERT_GT(p2, 0) << msg;
    EXPECT_FALSE(spawn_exec_failed());
    EXPECT_EQ(spawn_write(in1, "x\n", 2), 2);
    EXPECT_EQ(spawn_write(in2, "x\n", 2), 2);
    std::string first = read_reply(out1);
    EXPECT_EQ(first.substr(0, 6), "0, 1, ");
    EXPECT_EQ(read_reply(out2), first);
    for (int fd : {in1, out1, in2, out2}) close(fd);
    spawn_kill(p1);
    spawn_kill(p2);
}

// A program that can't be run: its child ends with nothing written, and
// what the log held unwritten is not written twice.
TEST_F(SpawnTest, UnexecutablePathEndsAndLogsOnce) {
    imsg("pending before spawn\n");
    int in, out;
    char msg[1000], buf[16];
    int pid = lib_spawn_noenv(dir.file("none").c_str(), &in, &out, msg);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(spawn_exec_failed());
    pollfd p{out, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(spawn_nready(out), 0);
    EXPECT_EQ(spawn_read(out, buf, sizeof buf), 0);
    std::string l = log();
    EXPECT_EQ(l.find("pending before spawn"), l.rfind("pending before spawn"));
    EXPECT_NE(l.find("Error on exec"), std::string::npos);
    close(in);
    close(out);
}

TEST_F(SpawnTest, KillAndCloseReapChildren) {
    // Closing a child's output reaps that child once it has ended, and no
    // other: a foreign child (another's) stays a zombie for its owner.
    char msg[1000];
    auto ended = [&](int *fd) {
        int in, p = lib_spawn_noenv(prog.c_str(), &in, fd, msg);
        close(in);  // the child's loop ends with its input
        siginfo_t si;
        waitid(P_PID, static_cast<id_t>(p), &si, WEXITED | WNOWAIT);
        return p;
    };
    int in, out, foreign_out, foreign = ended(&foreign_out);
    int pid = lib_spawn_noenv(prog.c_str(), &in, &out, msg);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(spawn_close(out, pid), 0);  // still running
    EXPECT_EQ(spawn_kill(pid), 1);
    EXPECT_EQ(spawn_isalive(pid), 0);
    EXPECT_EQ(kill(pid, 0), -1);  // reaped, not a zombie
    EXPECT_NE(log().find("killing slave process, handle " + std::to_string(pid)),
              std::string::npos);
    // Not (or no longer) a child: nothing is signalled.
    EXPECT_EQ(spawn_kill(pid), 1);
    EXPECT_EQ(spawn_kill(1), 1);
    EXPECT_EQ(spawn_isalive(0), 0);
    EXPECT_NE(log().find("it was already dead"), std::string::npos);
    close(in);
    pid = ended(&out);
    EXPECT_EQ(spawn_close(out, pid), pid);
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(kill(foreign, 0), 0);
    EXPECT_EQ(waitpid(foreign, nullptr, 0), foreign);
    close(foreign_out);
}
