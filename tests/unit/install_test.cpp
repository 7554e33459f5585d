// The installer's pieces that work without /etc and /usr/local: paths, the
// question, and copying into a directory of the test's own. Whole runs of
// -install and -uninstall are in tests/integration/install_test.cpp.
#include "install/install.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

class TempDir {
   public:
    TempDir() {
        char tmpl[] = "/tmp/install_unit_XXXXXX";
        char *p = mkdtemp(tmpl);
        if (p) path_ = p;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::string &path() const { return path_; }
    std::string sub(const std::string &name) const { return path_ + "/" + name; }

   private:
    std::string path_;
};

// Points descriptors 0, 1 and 2 at files in dir for the life of the object,
// feeding `input` to standard input. Expectations belong after finish(),
// because a failing one prints to standard output.
class StdioSwap {
   public:
    StdioSwap(const TempDir &dir, const std::string &input) : dir_(dir) {
        write_file(dir.sub("stdin"), input);
        fflush(stdout);
        for (int fd = 0; fd < 3; fd++) saved_[fd] = dup(fd);
        redirect(0, dir.sub("stdin"), O_RDONLY);
        redirect(1, dir.sub("stdout"), O_WRONLY | O_CREAT | O_TRUNC);
        redirect(2, dir.sub("stderr"), O_WRONLY | O_CREAT | O_TRUNC);
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
    std::string out() const { return read_file(dir_.sub("stdout")); }
    std::string err() const { return read_file(dir_.sub("stderr")); }

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

TEST(InstallPaths, JoinFixedDirectoriesAndName) {
    struct Case {
        const char *(*fn)(const char *);
        const char *name;
        const char *want;
    } cases[] = {
        {install_file, "zorvexsvr.conf", "/etc/zorvexsvr.conf"},
        {install_file, "other", "/etc/other"},
        {install_binfile, "zorvexsvr", "/usr/local/bin/zorvexsvr"},
        {install_exe_file, "zorvex", "/usr/local/vexmo/zorvex"},
        {install_exe_file, "zorvexsvr", "/usr/local/vexmo/zorvexsvr"},
    };
    for (const Case &c : cases) EXPECT_STREQ(c.fn(c.name), c.want) << c.name;
}

TEST(InstallPaths, EachFunctionHasItsOwnBuffer) {
    const char *conf = install_file("zorvexsvr.conf");
    const char *bin = install_binfile("zorvexsvr");
    const char *exe = install_exe_file("zorvex");
    EXPECT_STREQ(conf, "/etc/zorvexsvr.conf");
    EXPECT_STREQ(bin, "/usr/local/bin/zorvexsvr");
    EXPECT_STREQ(exe, "/usr/local/vexmo/zorvex");
    // The next call of the same function reuses its buffer.
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
        {"yes\n", 1, "yes"},
        {"yes", 1, "yes"},
        {" y es \n", 1, " y es "},
        {"abc\r\n", 1, "abc"},
        {"first\nsecond\n", 1, "first"},
        {std::string(150, 'x') + "\n", 1, std::string(99, 'x')},
    };
    for (const Case &c : cases) {
        TempDir dir;
        ASSERT_FALSE(dir.path().empty());
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

// Contents of n bytes that include NULs and every byte value.
std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 7u + i / 256u) & 0xffu);
    return s;
}

TEST(InstallCopy, CopiesWholeFileAcrossPieceBoundaries) {
    for (size_t size : {0u, 1u, 999u, 1000u, 1001u, 2000u, 4103u}) {
        TempDir dir;
        ASSERT_FALSE(dir.path().empty());
        mkdir(dir.sub("dist").c_str(), 0755);
        mkdir(dir.sub("dest").c_str(), 0755);
        std::string data = pattern(size);
        write_file(dir.sub("dist/prog"), data);
        // An older, longer copy must be replaced, not overwritten in part.
        write_file(dir.sub("dest/prog"), std::string(size + 50, 'o'));
        StdioSwap io(dir, "");
        do_copy(dir.sub("dist/prog").c_str(), dir.sub("dest").c_str());
        io.finish();
        EXPECT_EQ(read_file(dir.sub("dest/prog")), data) << size;
        EXPECT_EQ(io.err(), "") << size;
        EXPECT_EQ(io.out(), "") << size;
    }
}

TEST(InstallCopy, SourceWithoutDirectoryComesFromCurrentDirectory) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    mkdir(dir.sub("dist").c_str(), 0755);
    mkdir(dir.sub("dest").c_str(), 0755);
    write_file(dir.sub("dist/zorvex"), "client\n");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.sub("dist").c_str()), 0);
    do_copy("zorvex", dir.sub("dest").c_str());
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(read_file(dir.sub("dest/zorvex")), "client\n");
}

TEST(InstallCopy, MissingSourceIsReportedAndNothingIsCreated) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::string src = dir.sub("absent");
    StdioSwap io(dir, "");
    do_copy(src.c_str(), dir.sub("dest").c_str());
    io.finish();
    EXPECT_EQ(io.err(), src + ": No such file or directory\n");
    EXPECT_FALSE(std::filesystem::exists(dir.sub("dest")));
}

TEST(InstallCopy, UnwritableTargetIsReportedWithItsPath) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    write_file(dir.sub("prog"), "data");
    StdioSwap io(dir, "");
    do_copy(dir.sub("prog").c_str(), dir.sub("nodir").c_str());
    io.finish();
    EXPECT_EQ(io.err(),
              "Cannot write to (" + dir.sub("nodir/prog") + ") : No such file or directory\n");
}

// Runs a copy of /bin/sleep from dir/bin/prog for `seconds`; returns its pid
// once it has exec'd, so that its file is busy, or -1.
pid_t run_busy_program(const TempDir &dir, const char *seconds) {
    mkdir(dir.sub("bin").c_str(), 0755);
    std::filesystem::copy_file("/bin/sleep", dir.sub("bin/prog"));
    chmod(dir.sub("bin/prog").c_str(), 0700);
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
    std::string prog = dir.sub("bin/prog");
    pid_t pid = fork();
    if (pid == 0) {
        char *const argv[] = {const_cast<char *>("prog"), const_cast<char *>(seconds), nullptr};
        execv(prog.c_str(), argv);
        _exit(127);
    }
    close(p[1]);
    char c;
    // The pipe closes on a successful exec.
    while (read(p[0], &c, 1) < 0 && errno == EINTR) {
    }
    close(p[0]);
    return pid;
}

TEST(InstallCopySlow, RunningTargetStillBusyAfterWaitKeepsOldProgram) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    pid_t pid = run_busy_program(dir, "60");
    ASSERT_GT(pid, 0);
    mkdir(dir.sub("dist").c_str(), 0755);
    write_file(dir.sub("dist/prog"), "new program");
    StdioSwap io(dir, "");
    do_copy(dir.sub("dist/prog").c_str(), dir.sub("bin").c_str());
    io.finish();
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(io.err(), "Cannot write to (" + dir.sub("bin/prog") + ") : Text file busy\n");
    EXPECT_EQ(read_file(dir.sub("bin/prog")), read_file("/bin/sleep"));
}

TEST(InstallCopySlow, RunningTargetThatStopsDuringWaitIsReplaced) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    pid_t pid = run_busy_program(dir, "1");
    ASSERT_GT(pid, 0);
    mkdir(dir.sub("dist").c_str(), 0755);
    write_file(dir.sub("dist/prog"), "new program");
    StdioSwap io(dir, "");
    do_copy(dir.sub("dist/prog").c_str(), dir.sub("bin").c_str());
    io.finish();
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(io.err(), "");
    EXPECT_EQ(read_file(dir.sub("bin/prog")), "new program");
}

}  // namespace
