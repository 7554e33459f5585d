// The kvauth program: reply framing on standard output, how it finds its
// engine directory, and three of them in the daemon's pool.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "support/server_fixture.h"

namespace {
using Lines = std::vector<std::string>;

bool exists(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

RunResult kvauth(const std::vector<std::string> &args, const std::string &input,
                 const std::string &cwd = "") {
    std::vector<std::string> argv{program_path("kvauth")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, input, cwd);
}

TEST(Kvauth, ReplyFraming) {
    TempDir d;
    // Every request ends with one finishing line.
    RunResult r = kvauth({"-path", d.path()},
                         "version\nquit\n\nset Bob pw x=1\ncheck bob pw\r\nsearch b\ndel bob\n"
                         "lookup bob\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "+OK kvauth 4.0e\n"
              "+OK\n"
              "-ERR Invalid command (nocommand) use help\n"
              "+OK Bob added to database\n"
              "+OK bob config 0 x=1\n"
              "+DATA bob x=1\n"
              "+OK Search Complete 1 items found out of 1\n"
              "+OK Deleted user successfully\n"
              "-ERR bob not found\n");
    EXPECT_TRUE(exists(d.file("kvauth.add")));

    // Earlier finishing lines become data lines.
    r = kvauth({"-path", d.path()}, "testcrypt\n");
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(r.out.substr(at, nl - at));
    ASSERT_EQ(lines.size(), 2000u);
    EXPECT_EQ(lines[0], "+DATA +OK test0 added to database");
    for (size_t i = 0; i + 1 < lines.size(); i++)
        ASSERT_EQ(lines[i].compare(0, 5, "+DATA"), 0) << i << ": " << lines[i];
    EXPECT_EQ(lines.back().compare(0, 11, "+OK test999"), 0) << lines.back();

    // A failure without an -ERR line gets one.
    TempDir e;
    ASSERT_EQ(mkdir(e.file("kvauth.add").c_str(), 0700), 0);  // the add file cannot be opened
    r = kvauth({"-path", e.path()}, "set a b\n");
    ASSERT_EQ(r.out.compare(0, 5, "-DEAD"), 0) << r.out;
    EXPECT_EQ(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1), "-ERR\n");

    EXPECT_EQ(kvauth({"-x"}, "").status, 1);
    EXPECT_EQ(kvauth({"-path"}, "").status, 1);
}

TEST(Kvauth, EngineDirectory) {
    TempDir d;
    std::string db = d.file("db"), other = d.file("other");
    ASSERT_EQ(mkdir(db.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
    // From the server configuration; its debug setting must not echo engine
    // log lines into the replies.
    write_file(d.file("z.conf"), "debug true\nkvauth_path " + db + "\n");
    RunResult r = kvauth({"-conf", d.file("z.conf")}, "set carol pw\nlookup carol\n", d.path());
    EXPECT_EQ(r.out, "+OK carol added to database\n+OK carol config 0 \n");
    EXPECT_TRUE(exists(db + "/kvauth.add"));
    EXPECT_FALSE(exists(d.file("kvauth.add")));
    // -path wins over the configuration file.
    r = kvauth({"-conf", d.file("z.conf"), "-path", other}, "set dan pw\n", d.path());
    EXPECT_EQ(r.out, "+OK dan added to database\n");
    EXPECT_TRUE(exists(other + "/kvauth.add"));

    if (exists("/etc/vexmo.conf")) GTEST_SKIP() << "the mail server's configuration decides here";
    // No key and no mail-server configuration: bare names in the working directory.
    write_file(d.file("y.conf"), "port 700\n");
    r = kvauth({"-conf", d.file("y.conf")}, "set erin pw\n", d.path());
    EXPECT_EQ(r.out, "+OK erin added to database\n");
    EXPECT_TRUE(exists(d.file("kvauth.add")));
    // A configuration file that does not exist prints nothing of its own.
    r = kvauth({"-conf", d.file("missing.conf")}, "version\n", d.path());
    EXPECT_EQ(r.out, "+OK kvauth 4.0e\n");
}

// Sends the requests in one write, so that the server hands them to slots 0,
// 1 and 2 in order, and collects the reply texts by identifier until every
// request has its finishing line.
std::map<int, Lines> batch(ZvClient *c, const std::vector<std::pair<int, std::string>> &reqs) {
    std::string raw;
    for (const auto &[id, text] : reqs) raw += std::to_string(id) + " " + text + "\n";
    std::map<int, Lines> out;
    if (!cli_send_raw(c, raw)) return out;
    size_t done = 0;
    int id = 0;
    std::string_view text;
    for (std::string l; done < reqs.size() && cli_read_line(c, &l, 5000) == 1;) {
        if (!cli_split_reply(l, &id, &text)) continue;
        out[id].emplace_back(text);
        done += text.substr(0, 3) == "+OK" || text.substr(0, 4) == "-ERR";
    }
    return out;
}

TEST(PoolKvauth, ThreeProcessesSeeEveryChange) {
    if (access("/etc/vexmo.conf", F_OK) == 0 || access("/etc/zorvexsvr.conf", F_OK) == 0)
        GTEST_SKIP() << "kvauth would take its directory from this host's configuration";
    TestServer s;
    // Started without arguments and without a server configuration of its
    // own, kvauth works on bare names in the server's working directory.
    s.extra_conf = {"authent_process " + program_path("kvauth"), "authent_number 3"};
    s.debug = true;
    ASSERT_TRUE(s.start());
    ZvClient c1, c2, c3;
    for (ZvClient *c : {&c1, &c2, &c3}) ASSERT_TRUE(s.connect(c));

    auto r = batch(&c1, {{1, "set u1 p1 n=1"}, {2, "set u2 p2 n=2"}, {3, "set u3 p3 n=3"}});
    for (int i = 1; i <= 3; i++)
        EXPECT_EQ(r[i], (Lines{"+OK u" + std::to_string(i) + " added to database"}));
    // Each process checks a user that another one added.
    r = batch(&c2, {{11, "check u2 p2"}, {12, "check u3 p3"}, {13, "check u1 p1"}});
    EXPECT_EQ(r[11], (Lines{"+OK u2 config 0 n=2"}));
    EXPECT_EQ(r[12], (Lines{"+OK u3 config 0 n=3"}));
    EXPECT_EQ(r[13], (Lines{"+OK u1 config 0 n=1"}));
    r = batch(&c3, {{21, "search u"}, {22, "search u"}, {23, "search u"}});
    for (int id = 21; id <= 23; id++) {
        ASSERT_EQ(r[id].size(), 4u) << id;
        EXPECT_EQ(r[id].back(), "+OK Search Complete 3 items found out of 3");
    }
    r = batch(&c1, {{31, "del u2"}, {32, "del u3"}, {33, "del u1"}});
    for (int id = 31; id <= 33; id++) EXPECT_EQ(r[id], (Lines{"+OK Deleted user successfully"}));
    r = batch(&c2, {{41, "lookup u1"}, {42, "lookup u2"}, {43, "lookup u3"}});
    for (int i = 1; i <= 3; i++)
        EXPECT_EQ(r[40 + i], (Lines{"-ERR u" + std::to_string(i) + " not found"}));
    EXPECT_EQ(s.request(&c3, 50, "quit"), (Lines{"50 +OK"}));

    std::string log = s.log();
    for (int slot = 0; slot < 3; slot++)
        EXPECT_NE(log.find("Sending command [" + std::to_string(slot) + "] "), std::string::npos);
    EXPECT_TRUE(access(s.file("kvauth.add").c_str(), F_OK) == 0);
    EXPECT_TRUE(s.stop());
}

}  // namespace
