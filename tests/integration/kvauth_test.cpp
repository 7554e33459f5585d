// The kvauth program on its own: reply framing on standard output, how it
// finds its engine directory, and several kvauth processes on one directory.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "support/server_fixture.h"

namespace {
using Lines = std::vector<std::string>;

bool exists(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

// One kvauth process on pipes, asked one request at a time.
class KvProc {
   public:
    explicit KvProc(const std::string &dir) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
            std::string prog = program_path("kvauth");
            execl(prog.c_str(), prog.c_str(), "-path", dir.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~KvProc() {
        close(to_);  // end of input ends it
        close(from_);
        int st;
        if (pid_ > 0) waitpid(pid_, &st, 0);
    }
    // Sends one request and reads lines up to the finishing one.
    Lines ask(const std::string &req) {
        Lines out;
        std::string l = req + "\n";
        if (write(to_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) return out;
        for (;;) {
            size_t nl;
            while ((nl = buf_.find('\n')) != std::string::npos) {
                out.push_back(buf_.substr(0, nl));
                buf_.erase(0, nl + 1);
                const std::string &s = out.back();
                if (s.compare(0, 3, "+OK") == 0 || s.compare(0, 4, "-ERR") == 0) return out;
            }
            pollfd p{from_, POLLIN, 0};
            if (poll(&p, 1, 10000) != 1) return out;
            char b[4096];
            ssize_t n = read(from_, b, sizeof b);
            if (n <= 0) return out;
            buf_.append(b, static_cast<size_t>(n));
        }
    }
    std::string last(const std::string &req) {
        Lines l = ask(req);
        return l.empty() ? "" : l.back();
    }

   private:
    int pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::string buf_;
};
}  // namespace

TEST(Kvauth, EveryRequestEndsWithOneFinishingLine) {
    TempDir d;
    RunResult r = run_program({program_path("kvauth"), "-path", d.path()},
                              "version\n"
                              "quit\n"
                              "\n"
                              "set Bob pw x=1\n"
                              "check bob pw\r\n"
                              "help\n"
                              "search b\n"
                              "del bob\n"
                              "lookup bob\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "+OK kvauth 4.0e\n"
              "+OK\n"
              "-ERR Invalid command (nocommand) use help\n"
              "+OK Bob added to database\n"
              "+OK bob config 0 x=1\n"
              "+DATA Valid commands\n"
              "+DATA \tlookup username\n"
              "+DATA \tcheck username password\n"
              "+DATA \tset username password|(NULL) [var=\"val\" ...]\n"
              "+DATA \tmod username pass|(NULL) var=\"val\"\n"
              "+DATA \tsearch string\n"
              "+DATA \tdel username\n"
              "+DATA \texit\n"
              "+DATA \t(use -help command line option for extended help information)\n"
              "+OK \n"
              "+DATA bob x=1\n"
              "+OK Search Complete 1 items found out of 1\n"
              "+OK Deleted user successfully\n"
              "-ERR bob not found\n");
    EXPECT_TRUE(exists(d.file("kvauth.add")));
}

TEST(Kvauth, EarlierFinishingLinesBecomeDataLines) {
    TempDir d;
    RunResult r = run_program({program_path("kvauth"), "-path", d.path()}, "testcrypt\n");
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(r.out.substr(at, nl - at));
    ASSERT_EQ(lines.size(), 2000u);
    EXPECT_EQ(lines[0], "+DATA +OK test0 added to database");
    for (size_t i = 0; i + 1 < lines.size(); i++)
        ASSERT_EQ(lines[i].compare(0, 5, "+DATA"), 0) << i << ": " << lines[i];
    EXPECT_EQ(lines.back().compare(0, 11, "+OK test999"), 0) << lines.back();
}

TEST(Kvauth, FailureWithoutErrLineGetsOne) {
    TempDir d;
    ASSERT_EQ(mkdir(d.file("kvauth.add").c_str(), 0700), 0);  // the add file cannot be opened
    RunResult r = run_program({program_path("kvauth"), "-path", d.path()}, "set a b\n");
    ASSERT_EQ(r.out.compare(0, 5, "-DEAD"), 0) << r.out;
    EXPECT_EQ(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1), "-ERR\n");
}

TEST(Kvauth, DirectoryFromServerConfiguration) {
    TempDir d;
    std::string db = d.file("db");
    ASSERT_EQ(mkdir(db.c_str(), 0700), 0);
    // The server's debug setting must not echo engine log lines into the replies.
    write_file(d.file("z.conf"), "debug true\nkvauth_path " + db + "\n");
    RunResult r = run_program({program_path("kvauth"), "-conf", d.file("z.conf")},
                              "set carol pw\nlookup carol\n", d.path());
    EXPECT_EQ(r.out, "+OK carol added to database\n+OK carol config 0 \n");
    EXPECT_TRUE(exists(db + "/kvauth.add"));
    EXPECT_FALSE(exists(d.file("kvauth.add")));

    // -path wins over the configuration file.
    std::string other = d.file("other");
    ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
    r = run_program({program_path("kvauth"), "-conf", d.file("z.conf"), "-path", other},
                    "set dan pw\n", d.path());
    EXPECT_EQ(r.out, "+OK dan added to database\n");
    EXPECT_TRUE(exists(other + "/kvauth.add"));
}

TEST(Kvauth, EnginesOwnRuleWithoutPathOrKey) {
    if (exists("/etc/vexmo.conf")) GTEST_SKIP() << "the mail server's configuration decides here";
    TempDir d;
    write_file(d.file("z.conf"), "port 700\n");
    // No key and no mail-server configuration: bare names in the working directory.
    RunResult r =
        run_program({program_path("kvauth"), "-conf", d.file("z.conf")}, "set erin pw\n", d.path());
    EXPECT_EQ(r.out, "+OK erin added to database\n");
    EXPECT_TRUE(exists(d.file("kvauth.add")));
    // A configuration file that does not exist prints nothing of its own.
    r = run_program({program_path("kvauth"), "-conf", d.file("missing.conf")}, "version\n",
                    d.path());
    EXPECT_EQ(r.out, "+OK kvauth 4.0e\n");
}

TEST(Kvauth, BadOptionsRefused) {
    EXPECT_EQ(run_program({program_path("kvauth"), "-x"}, "").status, 1);
    EXPECT_EQ(run_program({program_path("kvauth"), "-path"}, "").status, 1);
}

TEST(Kvauth, ProcessesOnOneDirectorySeeEachOthersChanges) {
    TempDir d;
    KvProc a(d.path()), b(d.path());
    EXPECT_EQ(a.last("set early pw1 n=1"), "+OK early added to database");
    EXPECT_EQ(b.last("check early pw1"), "+OK early config 0 n=1");
    EXPECT_EQ(b.last("lookup gone"), "-ERR gone not found");
    EXPECT_EQ(b.last("set gone pw"), "+OK gone added to database");
    EXPECT_EQ(a.last("lookup gone"), "+OK gone config 0 ");
    EXPECT_EQ(a.last("mod early x n=\"2\"").compare(0, 3, "+OK"), 0);
    std::string modified = a.last("lookup early");
    EXPECT_NE(modified.find("n=\"2\""), std::string::npos) << modified;

    // a changes and deletes, then adds until its add file is folded into a
    // new kvauth.txt, all while b is idle: b has not replayed those lines.
    EXPECT_EQ(a.last("set late pw2"), "+OK late added to database");
    EXPECT_EQ(a.last("del gone"), "+OK Deleted user successfully");
    int i = 0;
    for (; i < 2000 && exists(d.file("kvauth.add")); i++)
        ASSERT_EQ(a.last("set fill" + std::to_string(i) + " pw"),
                  "+OK fill" + std::to_string(i) + " added to database");
    ASSERT_LT(i, 2000) << "no rebuild happened";
    ASSERT_FALSE(exists(d.file("kvauth.add_old")));
    EXPECT_EQ(b.last("check late pw2"), "+OK late config 0 ");
    EXPECT_EQ(b.last("lookup gone"), "-ERR gone not found");
    EXPECT_EQ(b.last("lookup early"), modified);

    // Now b folds a's later changes in with its own rebuild: nothing of a's is lost.
    EXPECT_EQ(a.last("set after pw3"), "+OK after added to database");
    for (int j = 0; j < 2000 && !exists(d.file("kvauth.bck")); j++)
        b.last("set b" + std::to_string(j) + " pw");
    for (int j = 0; j < 2000 && exists(d.file("kvauth.add")); j++)
        b.last("set more" + std::to_string(j) + " pw");
    EXPECT_EQ(a.last("check after pw3"), "+OK after config 0 ");
    EXPECT_EQ(a.last("check late pw2"), "+OK late config 0 ");
    KvProc c(d.path());  // a newcomer reads it all from the files
    EXPECT_EQ(c.last("check after pw3"), "+OK after config 0 ");
    EXPECT_EQ(c.last("lookup gone"), "-ERR gone not found");
    EXPECT_EQ(c.last("lookup early"), modified);
    EXPECT_EQ(c.last("search fill1 -max 1").compare(0, 3, "+OK"), 0);
}
