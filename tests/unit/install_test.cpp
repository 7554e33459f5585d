// The installer's pieces that work without /etc and /usr/local: paths, the
// question, and copying into a directory of the test's own. Whole runs of
// -install and -uninstall are in tests/integration/install_test.cpp.
#include "install/install.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/server_fixture.h"

namespace {

// Points descriptors 0, 1 and 2 at files in dir for the life of the object,
// feeding `input` to standard input. Expectations belong after finish(),
// because a failing one prints to standard output.
class StdioSwap {
   public:
    StdioSwap(const TempDir &dir, const std::string &input) : dir_(dir) {
        write_file(dir.file("stdin"), input);
        fflush(stdout);
        for (int fd = 0; fd < 3; fd++) saved_[fd] = dup(fd);
        redirect(0, dir.file("stdin"), O_RDONLY);
        redirect(1, dir.file("stdout"), O_WRONLY | O_CREAT | O_TRUNC);
        redirect(2, dir.file("stderr"), O_WRONLY | O_CREAT | O_TRUNC);
        clearerr(stdin);
    }
    ~StdioSwap() { finish(); }

    void finish() {
        if (done_) return;
        done_ = true;
        fflush(stdout);
        // Whatever stdio read ahead must not reach the next test.
        while (fgetc(stdin) != EOF) {
        }
        for (int fd = 0; fd < 3; fd++) {
            dup2(saved_[fd], fd);
            close(saved_[fd]);
        }
        clearerr(stdin);
    }
    std::string out() const { return read_file(dir_.file("stdout")); }
    std::string err() const { return read_file(dir_.file("stderr")); }

   private:
    static void redirect(int fd, const std::string &path, int flags) {
        int f = open(path.c_str(), flags, 0600);
        dup2(f, fd);
        close(f);
    }
    const TempDir &dir_;
    int saved_[3] = {-1, -1, -1};
    bool done_ = false;
};

// Each function has its own buffer, which its next call reuses.
TEST(InstallPaths, OneBufferPerFunction) {
    const char *conf = install_file("zorvexsvr.conf");
    const char *bin = install_binfile("zorvexsvr");
    EXPECT_STREQ(install_exe_file("zorvex"), "/usr/local/vexmo/zorvex");
    EXPECT_STREQ(conf, "/etc/zorvexsvr.conf");
    EXPECT_STREQ(bin, "/usr/local/bin/zorvexsvr");
    install_file("again");
    EXPECT_STREQ(conf, "/etc/again");
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
        StdioSwap io(dir, c.input);
        int ret = prompt("no", rslt, "Go on");
        io.finish();
        EXPECT_EQ(ret, c.want_ret) << c.input;
        EXPECT_EQ(std::string(rslt), c.want) << c.input;
        EXPECT_EQ(io.out(), "Go on [no]?") << c.input;
        EXPECT_EQ(io.err(), "") << c.input;
    }
}

TEST(InstallCopy, WholeFilesAndReportedFailures) {
    TempDir dir;
    mkdir(dir.file("dist").c_str(), 0755);
    mkdir(dir.file("dest").c_str(), 0755);
    for (size_t size : {0u, 999u, 1000u, 1001u, 4103u}) {
        // Contents that include NULs and every byte value.
        std::string data(size, '\0');
        for (size_t i = 0; i < size; i++) data[i] = static_cast<char>((i * 7u + i / 256u) & 0xffu);
        write_file(dir.file("dist/prog"), data);
        // An older, longer copy must be replaced, not overwritten in part.
        write_file(dir.file("dest/prog"), std::string(size + 50, 'o'));
        StdioSwap io(dir, "");
        do_copy(dir.file("dist/prog").c_str(), dir.file("dest").c_str());
        io.finish();
        EXPECT_EQ(read_file(dir.file("dest/prog")), data) << size;
        EXPECT_EQ(io.err() + io.out(), "") << size;
    }
    // A source without a directory comes from the current directory.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.file("dist").c_str()), 0);
    write_file("zorvex", "client\n");
    do_copy("zorvex", dir.file("dest").c_str());
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(read_file(dir.file("dest/zorvex")), "client\n");
    const std::string cases[][3] = {
        {dir.file("absent"), dir.file("dest"),
         dir.file("absent") + ": No such file or directory\n"},
        {dir.file("dist/prog"), dir.file("nodir"),
         "Cannot write to (" + dir.file("nodir/prog") + ") : No such file or directory\n"},
    };
    for (const auto &c : cases) {
        StdioSwap io(dir, "");
        do_copy(c[0].c_str(), c[1].c_str());
        io.finish();
        EXPECT_EQ(io.err(), c[2]);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("dest/absent")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("nodir")));
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
    StdioSwap io(dir, "");
    do_copy(dir.file("dist/prog").c_str(), dir.file("bin").c_str());
    io.finish();
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(io.err(), "");
    EXPECT_EQ(read_file(dir.file("bin/prog")), "new program");
}

}  // namespace
