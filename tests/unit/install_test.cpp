// The installer's question and its copy into a directory of the test's own;
// whole runs of -install and -uninstall are in the integration tests.
#include "install/install.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/server_fixture.h"

namespace {

// Runs fn with `input` on standard input; returns what it wrote on standard
// output and standard error.
using Io = std::pair<std::string, std::string>;
Io with_stdio(const TempDir &dir, const std::string &input, const std::function<void()> &fn) {
    write_file(dir.file("stdin"), input);
    int saved = dup(0), f = open(dir.file("stdin").c_str(), O_RDONLY);
    dup2(f, 0);
    close(f);
    clearerr(stdin);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    fn();
    Io r = {testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
    // Whatever stdio read ahead must not reach the next test.
    while (fgetc(stdin) != EOF) {
    }
    dup2(saved, 0);
    close(saved);
    clearerr(stdin);
    return r;
}

TEST(InstallPrompt, AnswersFromOneLineOfInput) {
    struct Case {
        std::string input;
        int want_ret;
        std::string want;
    } cases[] = {
        {"", 0, "untouched"},
        {"\n", 1, "no"},
        {"yes", 1, "yes"},
        {" y es \n", 1, " y es "},
        {"abc\r\n", 1, "abc"},
        {"first\nsecond\n", 1, "first"},
        {std::string(150, 'x') + "\n", 1, std::string(99, 'x')},
    };
    for (const Case &c : cases) {
        TempDir dir;
        char rslt[100] = "untouched";
        int ret = -1;
        Io io = with_stdio(dir, c.input, [&] { ret = prompt("no", rslt, "Go on"); });
        EXPECT_EQ(ret, c.want_ret) << c.input;
        EXPECT_EQ(std::string(rslt), c.want) << c.input;
        EXPECT_EQ(io, Io("Go on [no]?", "")) << c.input;
    }
}

// A copy of /bin/sleep running from the target while the copy starts: its
// file is busy; once it stops during the wait, the copy replaces it.
TEST(InstallCopySlow, RunningTargetThatStopsDuringWaitIsReplaced) {
    TempDir dir;
    mkdir(dir.file("bin").c_str(), 0755);
    std::filesystem::copy_file("/bin/sleep", dir.file("bin/prog"));
    chmod(dir.file("bin/prog").c_str(), 0700);
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    std::string prog = dir.file("bin/prog");
    pid_t pid = fork();
    if (pid == 0) {
        char *const argv[] = {const_cast<char *>("prog"), const_cast<char *>("1"), nullptr};
        execv(prog.c_str(), argv);
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    close(p[1]);
    char ch;
    // The pipe closes on a successful exec.
    while (read(p[0], &ch, 1) < 0 && errno == EINTR) {
    }
    close(p[0]);
    mkdir(dir.file("dist").c_str(), 0755);
    write_file(dir.file("dist/prog"), "new program");
    Io io = with_stdio(dir, "",
                       [&] { do_copy(dir.file("dist/prog").c_str(), dir.file("bin").c_str()); });
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(io, Io());
    EXPECT_EQ(read_file(dir.file("bin/prog")), "new program");
    io = with_stdio(dir, "",
                    [&] { do_copy(dir.file("dist/prog").c_str(), dir.file("no").c_str()); });
    EXPECT_EQ(
        io, Io("", "Cannot write to (" + dir.file("no/prog") + ") : No such file or directory\n"));
}

}  // namespace
