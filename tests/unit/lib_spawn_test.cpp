#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/emsg.h"
#include "core/ini.h"
#include "pool/lib_spawn.h"
#include "support/server_fixture.h"

extern char **environ;

// The test binary doubles as the child these tests start: run under the name
// zv_spawn_probe it reports, for each input line, what it was started with.
namespace {
constexpr const char *kProbeName = "zv_spawn_probe";

// The descriptors this process has open, in order.
std::vector<int> open_fds() {
    std::vector<int> fds;
    DIR *d = opendir("/proc/self/fd");
    while (dirent *de = d ? readdir(d) : nullptr)
        if (de->d_name[0] != '.' && atoi(de->d_name) != dirfd(d)) fds.push_back(atoi(de->d_name));
    if (d) closedir(d);
    std::sort(fds.begin(), fds.end());
    return fds;
}

// "env=<n> args=<n> err=<open|closed> fds=<list>", from inside the child.
std::string probe_report(int argc) {
    int nenv = 0;
    for (char **e = environ; e && *e; e++) nenv++;
    std::string fds;
    for (int fd : open_fds()) fds += " " + std::to_string(fd);
    return "env=" + std::to_string(nenv) + " args=" + std::to_string(argc) +
           " err=" + (fcntl(2, F_GETFD) == -1 ? "closed" : "open") + " fds=" + fds + "\n";
}

const bool probe_started = [] {
    std::string cmd = read_file("/proc/self/cmdline");
    if (!cmd.substr(0, cmd.find('\0')).ends_with(kProbeName)) return false;
    int argc = static_cast<int>(std::count(cmd.begin(), cmd.end(), '\0'));
    char line[1000];
    while (read(0, line, sizeof line) > 0) {
        std::string r = probe_report(argc);
        if (write(1, r.data(), r.size()) < 0) break;
    }
    _exit(0);
}();

// " 0 1 ..." followed by the descriptors above 2 that this process leaves
// open across exec, apart from ours (the pipes made by the spawns under
// test): what a child should have when nothing of ours leaks.
std::string expected_fds(const std::vector<int> &ours) {
    std::string fds = " 0 1";
    for (int fd : open_fds()) {
        int fl = fcntl(fd, F_GETFD);
        if (fd > 2 && std::find(ours.begin(), ours.end(), fd) == ours.end() && fl != -1 &&
            !(fl & FD_CLOEXEC))
            fds += " " + std::to_string(fd);
    }
    return fds;
}

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
        probe = dir.file(kProbeName);
        ASSERT_EQ(symlink(std::filesystem::read_symlink("/proc/self/exe").c_str(), probe.c_str()),
                  0);
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
    std::string probe;
};
}  // namespace

TEST_F(SpawnTest, ChildHasItsPipesOnlyNoEnvironmentNoStderrNoArguments) {
    ASSERT_FALSE(probe_started);
    int in1 = -1, out1 = -1, in2, out2;
    char msg[1000] = "";
    int p1 = lib_spawn_noenv(probe.c_str(), &in1, &out1, msg);
    ASSERT_GT(p1, 0) << msg;
    int p2 = lib_spawn_noenv(probe.c_str(), &in2, &out2, msg);
    ASSERT_GT(p2, 0);
    EXPECT_EQ(spawn_write(in1, "go\n", 3), 3);
    // argv holds the path alone; the child sees only its two pipe ends.
    EXPECT_EQ(read_reply(out1),
              "env=0 args=1 err=closed fds=" + expected_fds({in1, out1, in2, out2}) + "\n");
    // A later child does not inherit the earlier one's pipes.
    spawn_write(in2, "x\n", 2);
    EXPECT_EQ(read_reply(out2),
              "env=0 args=1 err=closed fds=" + expected_fds({in1, out1, in2, out2}) + "\n");
    EXPECT_EQ(spawn_isalive(p1), 1);
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
    int in, out;
    char msg[1000];
    int pid = lib_spawn_noenv(probe.c_str(), &in, &out, msg);
    ASSERT_GT(pid, 0);
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
    close(out);

    // Closing the output of an ended child reaps it.
    pid = lib_spawn_noenv(probe.c_str(), &in, &out, msg);
    ASSERT_GT(pid, 0);
    close(in);
    char buf[8];
    while (spawn_read(out, buf, sizeof buf) > 0) {
    }
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    for (int i = 0; i < 200 && read_file(stat).find(") Z") == std::string::npos; i++) usleep(10000);
    EXPECT_EQ(spawn_close(out), pid);
    EXPECT_EQ(kill(pid, 0), -1);
}
