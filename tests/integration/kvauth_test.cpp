// The kvauth program: reply framing on standard output, how it finds its
// engine directory, and three of them in the daemon's pool.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/server_fixture.h"

namespace {
using Lines = std::vector<std::string>;

RunResult kvauth(std::vector<std::string> args, const std::string &input,
                 const std::string &cwd = "") {
    args.insert(args.begin(), program_path("kvauth"));
    return run_program(args, input, cwd);
}

// Every request ends with one finishing line: earlier ones become data
// lines, and a failure without an -ERR line gets one.
TEST(Kvauth, ReplyFraming) {
    TempDir d, e;
    RunResult r = kvauth({"-path", d.path()}, "quit\n\nset Bob pw x=1\nsearch b\ntestcrypt\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(0, r.out.find("+DATA +OK test1 ")),
              "+OK\n-ERR Invalid command (nocommand) use help\n+OK Bob added to database\n"
              "+DATA bob x=1\n+OK Search Complete 1 items found out of 1\n"
              "+DATA +OK test0 added to database\n+DATA +OK test0 config 0 \n");
    EXPECT_EQ(r.out.find("\n+OK", 90), r.out.rfind("\n+OK test999")) << "an early finishing line";
    ASSERT_EQ(mkdir(e.file("kvauth.add").c_str(), 0700), 0);  // the add file cannot be opened
    r = kvauth({"-path", e.path()}, "set a b\n");
    ASSERT_EQ(r.out.compare(0, 5, "-DEAD"), 0) << r.out;
    EXPECT_EQ(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1), "-ERR\n");
    EXPECT_EQ(kvauth({"-x"}, "").status, 1);
    EXPECT_EQ(kvauth({"-path"}, "").status, 1);
}

// The directory comes from the server configuration, whose debug setting
// must not echo engine log lines into the replies; -path wins over it.
TEST(Kvauth, EngineDirectory) {
    TempDir d;
    const std::string db = d.file("db"), other = d.file("other");
    ASSERT_EQ(mkdir(db.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
    write_file(d.file("z.conf"), "debug true\nkvauth_path " + db + "\n");
    RunResult r = kvauth({"-conf", d.file("z.conf")}, "set carol pw\nlookup carol\n", d.path());
    EXPECT_EQ(r.out, "+OK carol added to database\n+OK carol config 0 \n");
    EXPECT_TRUE(read_file(db + "/kvauth.add").starts_with("carol:"));
    r = kvauth({"-conf", d.file("z.conf"), "-path", other}, "set dan pw\n", d.path());
    EXPECT_EQ(r.out, "+OK dan added to database\n");
    EXPECT_TRUE(read_file(other + "/kvauth.add").starts_with("dan:"));
    r = kvauth({"-conf", d.file("missing.conf")}, "version\n", d.path());
    EXPECT_EQ(r.out, "+OK kvauth 4.0e\n");
}

// A kvauth on the server's directory and the server agree on what was
// acknowledged: a name of 101 characters is not the account of its first
// 100, and a change a reader would drop is refused, not answered +OK.
TEST(Kvauth, AgreesWithTheServerOnItsDirectory) {
    TestServer s;
    ZvClient c;
    ASSERT_TRUE(s.start() && s.connect(&c));
    const std::string v(100, 'v'), no = " password wrong or not a valid user";
    for (const std::string &cmd :
         {"set " + v + " ownpw", "set " + v + "x attackpw",
          std::string("set bob pw note=\"a\001b\""), std::string("set u pw")})
        s.request(&c, 1, cmd);
    EXPECT_EQ(kvauth({"-path", s.db_dir()}, "check " + v + " attackpw\ncheck bob pw\n").out,
              "-ERR " + v + no + "\n-ERR bob" + no + "\n");
    EXPECT_EQ(s.request(&c, 2, "check bob pw").at(0), "2 -ERR bob" + no);
    EXPECT_TRUE(s.stop());
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

// Started without arguments and without a server configuration of its own,
// kvauth works on bare names in the server's working directory; each of the
// three processes sees the changes of the others.
TEST(PoolKvauth, ThreeProcessesSeeEveryChange) {
    if (access("/etc/vexmo.conf", F_OK) == 0 || access("/etc/zorvexsvr.conf", F_OK) == 0)
        GTEST_SKIP() << "kvauth would take its directory from this host's configuration";
    TestServer s;
    s.extra_conf = {"authent_process " + program_path("kvauth"), "authent_number 3"};
    s.debug = true;
    ASSERT_TRUE(s.start());
    ZvClient c;
    ASSERT_TRUE(s.connect(&c));
    using Map = std::map<int, Lines>;
    // clang-format off
    EXPECT_EQ(batch(&c, {{1, "set u1 p1 n=1"}, {2, "set u2 p2 n=2"}, {3, "set u3 p3 n=3"}}),
              (Map{{1, {"+OK u1 added to database"}}, {2, {"+OK u2 added to database"}},
                   {3, {"+OK u3 added to database"}}}));
    EXPECT_EQ(batch(&c, {{11, "check u2 p2"}, {12, "check u3 p3"}, {13, "check u1 p1"}}),
              (Map{{11, {"+OK u2 config 0 n=2"}}, {12, {"+OK u3 config 0 n=3"}},
                   {13, {"+OK u1 config 0 n=1"}}}));
    EXPECT_EQ(batch(&c, {{31, "del u2"}, {32, "del u3"}, {33, "del u1"}}).size(), 3u);
    EXPECT_EQ(batch(&c, {{41, "lookup u1"}, {42, "lookup u2"}, {43, "lookup u3"}}),
              (Map{{41, {"-ERR u1 not found"}}, {42, {"-ERR u2 not found"}},
                   {43, {"-ERR u3 not found"}}}));
    // clang-format on
    for (int slot = 0; slot < 3; slot++)
        EXPECT_NE(s.log().find("Sending command [" + std::to_string(slot) + "] "),
                  std::string::npos);
    EXPECT_EQ(access(s.file("kvauth.add").c_str(), F_OK), 0);
    EXPECT_TRUE(s.stop());
}

// Every password vector with a one-word password as a kvauth.txt line: each
// user checks with its password only, through kvauth (the pool's program)
// and the server's engine; set stores in the configured scheme; a scheme
// that cannot be used stops kvauth at start.
TEST(Kvauth, PasswordSchemes) {
    TestServer s;
    auto [txt, input, want] = vector_users();
    input += "set newu p\u00e455\ncheck newu p\u00e455\n";
    want += "+OK newu added to database\n+OK newu config 0 \n";
    write_file(s.db_dir() + "/kvauth.txt", txt);
    const std::string scheme = "password_scheme argon2id t=1 m=64 p=1";
    write_file(s.file("k.conf"), "kvauth_path " + s.db_dir() + "\n" + scheme + "\n");
    RunResult r = kvauth({"-conf", s.file("k.conf")}, input, s.dir());
    EXPECT_EQ(r.out, want);
    EXPECT_TRUE(
        read_file(s.db_dir() + "/kvauth.add").starts_with("newu:$argon2id$v=19$m=64,t=1,p=1$"));
    s.extra_conf = {scheme};
    ASSERT_TRUE(s.start());
    ZvClient c;
    ASSERT_TRUE(s.connect(&c));
    std::istringstream in(input), w(want);
    int id = 0;
    for (std::string cmd, line; std::getline(in, cmd) && std::getline(w, line);) {
        id++;
        EXPECT_EQ(s.request(&c, id, cmd), Lines{std::to_string(id) + " " + line}) << cmd;
    }
    write_file(s.file("k.conf"), "password_scheme bcrypt cost=14\n");
    r = kvauth({"-conf", s.file("k.conf")}, "version\n", s.dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kvauth: password_scheme bcrypt cost=14: cost must be from 4 to 13, not 14\n");
}
}  // namespace
