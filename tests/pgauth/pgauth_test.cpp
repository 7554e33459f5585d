// pgauth against a throwaway PostgreSQL: the shared case table through a real
// server in engine mode and in pool mode with pgauth, import and export, two
// servers on one database, and the database failing under them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "pg_cluster.h"
#include "pgauth/pgconf.h"
#include "support/server_fixture.h"

namespace {
using Lines = std::vector<std::string>;

// How a case's reply is compared: exactly, as a set of lines (search order
// is the engine's bucket order there and name order in pgauth), or only by
// the number of lines and the last one (which matches a page shows).
enum Compare { kExact, kUnordered, kCountAndLast };

struct Case {
    std::string cmd;
    Lines reply;
    Compare cmp = kExact;
};

const std::string kLong255(255, 'a');
const std::string kLong256(256, 'b');
const char *kNote = "+DATA \t(search lists matching users ordered by name)";

const std::vector<Case> &cases() {
    static const std::vector<Case> table = {
        {"version", {"+OK kvauth 4.0e"}},
        {"help",
         {"+DATA Valid commands", "+DATA \tlookup username", "+DATA \tcheck username password",
          "+DATA \tset username password|(NULL) [var=\"val\" ...]",
          "+DATA \tmod username pass|(NULL) var=\"val\"", "+DATA \tsearch string",
          "+DATA \tdel username", "+DATA \texit",
          "+DATA \t(use -help command line option for extended help information)", "+OK "}},
        {"Frob x", {"-ERR Invalid command (frob) use help"}},
        {"", {"-ERR Invalid command (nocommand) use help"}},
        {"lookup\tbob", {"-ERR Invalid command (lookup\tbob) use help"}},
        {"set Alice s3cret mail=\"a@x\" q=\"1\"", {"+OK Alice added to database"}},
        {"CHECK ALICE s3cret", {"+OK ALICE config 0 mail=\"a@x\" q=\"1\""}},
        {"check alice wrong", {"-ERR alice password wrong or not a valid user"}},
        {"check alice", {"-ERR alice password wrong or not a valid user"}},
        {"lookup aLice", {"+OK aLice config 0 mail=\"a@x\" q=\"1\""}},
        {"mod alice other q=\"2\"", {"+OK alice added to database"}},
        {"check alice s3cret", {"+OK alice config 0 q=\"2\" mail=\"a@x\" "}},
        {"mod alice x z=\"9\"", {"+OK alice added to database"}},
        {"lookup alice", {"+OK alice config 0 q=\"2\" mail=\"a@x\"  z=\"9\""}},
        {"mod nobody x a=\"1\"", {"-ERR No such user"}},
        {"set bob *pw", {"+OK bob added to database"}},
        {"check bob pw", {"+OK bob config 0 "}},
        {"check bob PW", {"-ERR bob password wrong or not a valid user"}},
        {"set carol (NULL) box=1", {"+OK carol added to database"}},
        {"check carol none", {"-ERR carol password wrong or not a valid user"}},
        {"lookup carol", {"+OK carol config 0 box=1"}},
        {"set bob (NULL) (BLOCK)", {"+OK bob added to database"}},
        {"lookup bob", {"+OK bob config 0  (BLOCK)"}},
        {"check bob pw", {"+OK bob config 0  (BLOCK)"}},
        {"set dave pw2 (BLOCK)", {"+OK dave added to database"}},
        {"check dave pw2", {"-ERR dave password wrong or not a valid user"}},
        {"set dave (NULL) (UNBLOCK)", {"+OK dave added to database"}},
        {"check dave pw2", {"+OK dave config 0 "}},
        // The engine replays its whole add file before every change, and a
        // block and unblock pair replayed again adds a blank each time: dave
        // goes before that shows.
        {"del dave", {"+OK Deleted user successfully"}},
        {"set a:b x", {"-ERR Could not add user. Illegal characters in username."}},
        {"set x@y@z x", {"-ERR Could not add user. Illegal characters in username."}},
        {"set e(v)e x", {"-ERR Could not add user. Illegal characters in username."}},
        {"set eve *a:b", {"-ERR Could not add user. Illegal characters in password."}},
        {"set " + kLong256 + " x",
         {"-ERR Could not add user. Username longer than 255 characters."}},
        {"set " + kLong255 + " x", {"+OK " + kLong255 + " added to database"}},
        {"lookup " + kLong255, {"+OK " + kLong255 + " config 0 "}},
        // The engine's replay cuts names at 100 characters, a record of its own.
        {"del " + kLong255, {"+OK Deleted user successfully"}},
        {"set f(x)@host.example pw", {"-ERR Could not add user. Illegal characters in username."}},
        {"set frank@a(b).example pw", {"+OK frank@a(b).example added to database"}},
        {"search BO",
         {"+DATA bob  (BLOCK)", "+DATA carol box=1", "+OK Search Complete 2 items found out of 4"},
         kUnordered},
        {"search mail",
         {"+DATA alice q=\"2\" mail=\"a@x\"  z=\"9\"",
          "+OK Search Complete 1 items found out of 4"}},
        {"search zz", {"+OK Search Complete 0 items found out of 4"}},
        {"search", {"+OK Search Complete 0 items found out of 4"}},
        {"search [b-d]*",
         {"+DATA bob  (BLOCK)", "+DATA carol box=1", "+OK Search Complete 2 items found out of 4"},
         kUnordered},
        {"search ?o*", {"+DATA bob  (BLOCK)", "+OK Search Complete 1 items found out of 4"}},
        {"search * -max 2", {"", "", "+OK Search Complete 3 items found out of 4"}, kCountAndLast},
        {"search * -from 3 -max 5",
         {"", "", "+OK Search Complete 4 items found out of 4"},
         kCountAndLast},
        {"search * -from 2 -max 1",
         {"", "+OK Search Complete 3 items found out of 4"},
         kCountAndLast},
        {"search * -from 9", {"+OK Search Complete 4 items found out of 4"}},
        {"del bob", {"+OK Deleted user successfully"}},
        {"lookup bob", {"-ERR bob not found"}},
        {"check bob pw", {"-ERR bob password wrong or not a valid user"}},
        {"del nobody", {"+OK Deleted user successfully"}},
        {"search *", {"", "", "", "+OK Search Complete 3 items found out of 3"}, kCountAndLast},
        {"set Bob *new", {"+OK Bob added to database"}},
        {"check BOB new", {"+OK BOB config 0 "}},
    };
    return table;
}

// Strips the identifier of each reply line.
Lines bare(const Lines &in, int id) {
    Lines out;
    std::string p = std::to_string(id) + " ";
    for (const auto &l : in) out.push_back(l.compare(0, p.size(), p) == 0 ? l.substr(p.size()) : l);
    return out;
}

void run_cases(TestServer *s, bool pgauth) {
    ZvClient c;
    ASSERT_TRUE(s->connect(&c));
    int id = 100;
    for (const Case &k : cases()) {
        SCOPED_TRACE(k.cmd);
        Lines want = k.reply;
        if (pgauth && k.cmd == "help") want.insert(want.end() - 1, kNote);
        ++id;
        Lines got = bare(s->request(&c, id, k.cmd), id);
        for (size_t i = 0; k.cmp == kCountAndLast && i + 1 < got.size(); i++)
            if (got[i].starts_with("+DATA ")) got[i] = "";
        if (k.cmp == kUnordered) {
            std::sort(got.begin(), got.end());
            std::sort(want.begin(), want.end());
        }
        EXPECT_EQ(got, want);
    }
}

// A server in pool mode running n pgauth processes through a wrapper script
// (the pool passes no arguments); the pg_ keys sit in the server's own file.
void use_pgauth(TestServer *s, const PgCluster &pg, int n) {
    std::string wrapper = s->file("pgauth.sh");
    write_file(wrapper,
               "#!/bin/sh\nexec " + program_path("pgauth") + " -conf " + s->conf_path() + "\n");
    chmod(wrapper.c_str(), 0700);
    s->extra_conf = {"authent_process " + wrapper, "authent_number " + std::to_string(n)};
    std::string lines = pg.conf_lines();
    for (size_t at = 0, nl; (nl = lines.find('\n', at)) != std::string::npos; at = nl + 1)
        s->extra_conf.push_back(lines.substr(at, nl - at));
}

RunResult pgauth_run(const std::string &conf, const std::vector<std::string> &args,
                     const std::string &input = "") {
    std::vector<std::string> argv = {program_path("pgauth"), "-conf", conf};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, input, "", 120);
}
// Each test with its own cluster, skipped where none can run.
class PgauthDb : public ::testing::Test {
   protected:
    void SetUp() override {
        std::string why = PgCluster::unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(pg.start()) << pg.log();
        write_file(dir.file("pg.conf"), pg.conf_lines());
        conf = dir.file("pg.conf");
    }
    PgCluster pg;
    TempDir dir;
    std::string conf;  // pgauth's configuration file, pointing at pg
};
}  // namespace

TEST(PgauthConf, LinesSplitAsTheServersFile) {
    const std::tuple<const char *, const char *, const char *> rows[] = {
        {"pg_host /tmp/sock\n", "pg_host", "/tmp/sock"},
        {"  pg_port\t5433\r\n", "pg_port", "5433"},
        {"pg_user  two words\n", "pg_user", " two words"},
        {"pg_database db\tcomment\n", "pg_database", "db"},
        {"lonely\n", "lonely", ""},
        {"\n", "", ""}};
    for (const auto &[line, key, value] : rows) {
        std::string k, v;
        pgconf_line(line, &k, &v);
        EXPECT_EQ(std::tie(k, v), std::make_tuple(key, value)) << line;
    }
}

TEST(PgauthConf, KeysTimeoutsAndPasswordFile) {
    TempDir d;
    write_file(d.file("pw"), "sekrit\nignored\n");
    write_file(d.file("c"),
               "port 601\npg_host h\npg_port 99\npg_connect_timeout 0\n"
               "pg_statement_timeout 7\npg_target_session_attrs read-write\npg_password_file " +
                   d.file("pw") + "\n");
    PgSettings s;
    std::string err;
    ASSERT_EQ(pgconf_load(d.file("c").c_str(), &s, &err), 1) << err;
    // The server's own port key is not pgauth's; 0 is no time-out at all:
    // the default stays.
    EXPECT_EQ(
        std::tie(s.host, s.port, s.password, s.connect_timeout, s.statement_timeout, s.target),
        std::make_tuple("h", "99", "sekrit", 5, 7, "read-write"));
    write_file(d.file("c"), "pg_password_file " + d.file("missing") + "\n");
    EXPECT_EQ(pgauth_run(d.file("c"), {"-export"}).status, 1);
    EXPECT_EQ(pgconf_load(d.file("nothing").c_str(), &s, &err), 0);
}

TEST(Pgauth, UnreachableDatabaseAnswersEveryRequest) {
    TempDir d;
    write_file(d.file("c"), "pg_host " + d.path() + "\npg_connect_timeout 2\n");
    // A hang would be killed by pgauth_run's bound and show as a signal status.
    RunResult r = pgauth_run(d.file("c"), {}, "version\ncheck a b\nset a b\nquit\nsearch a\n");
    EXPECT_EQ(r.status, 0);
    const std::string down = "-ERR database unavailable (\n";
    EXPECT_EQ(std::regex_replace(r.out, std::regex("unavailable \\(.*"), "unavailable ("),
              "+OK kvauth 4.0e\n" + down + down + "+OK\n" + down);
}

TEST(Pgauth, SharedCasesInEngineMode) {
    TestServer s;
    ASSERT_TRUE(s.start());
    run_cases(&s, false);
    EXPECT_TRUE(s.stop());
}

// Then a second server on the database; then the database stops and starts
// under requests: each gets one line, none hangs, the processes reconnect.
TEST_F(PgauthDb, SharedCasesTwoServersAndRestartUnderLoad) {
    TestServer a, b;
    use_pgauth(&a, pg, 3);
    use_pgauth(&b, pg, 2);
    ASSERT_TRUE(a.start());
    run_cases(&a, true);
    // Every change is in the change log, with the name as it was sent.
    EXPECT_EQ(pg.sql("SELECT 1 FROM pgauth_changes WHERE name = 'Alice'::bytea"), "");

    ASSERT_TRUE(b.start());
    ZvClient ca, cb;
    ASSERT_TRUE(a.connect(&ca));
    ASSERT_TRUE(b.connect(&cb));
    EXPECT_EQ(a.request(&ca, 1, "set Hal pw1 n=1"), Lines{"1 +OK Hal added to database"});
    EXPECT_EQ(b.request(&cb, 2, "check hal pw1"), Lines{"2 +OK hal config 0 n=1"});
    EXPECT_EQ(b.request(&cb, 3, "mod hal x n=\"2\""), Lines{"3 +OK hal added to database"});
    EXPECT_EQ(a.request(&ca, 4, "lookup hal"), Lines{"4 +OK hal config 0 n=\"2\" "});
    EXPECT_EQ(b.request(&cb, 5, "set hal (NULL) (BLOCK)"), Lines{"5 +OK hal added to database"});
    EXPECT_EQ(a.request(&ca, 6, "check hal pw1"),
              Lines{"6 -ERR hal password wrong or not a valid user"});
    EXPECT_EQ(a.request(&ca, 7, "del hal"), Lines{"7 +OK Deleted user successfully"});
    EXPECT_EQ(b.request(&cb, 8, "lookup hal"), Lines{"8 -ERR hal not found"});
    EXPECT_TRUE(b.stop());

    ASSERT_EQ(a.request(&ca, 9, "set ivy pw"), Lines{"9 +OK ivy added to database"});
    int id = 10, ok = 0, down = 0;
    auto ask = [&](const std::string &cmd) {
        ++id;
        Lines r = a.request(&ca, id, cmd, 20000);
        EXPECT_EQ(r.size(), 1u) << cmd;
        if (r.size() != 1) return;
        std::string l = r[0];
        if (l == std::to_string(id) + " +OK ivy config 0 ")
            ok++;
        else if (l.find(" -ERR database unavailable (") != std::string::npos)
            down++;
        else
            ADD_FAILURE() << l;
    };
    for (int i = 0; i < 30; i++) ask("check ivy pw");
    EXPECT_EQ(ok, 30);
    ASSERT_TRUE(pg.stop());
    for (int i = 0; i < 10; i++) ask("check ivy pw");
    EXPECT_EQ(down, 10);
    EXPECT_EQ(a.request(&ca, 900, "set jay pw").at(0).find("900 -ERR database unavailable ("), 0u);
    ASSERT_TRUE(pg.start()) << pg.log();
    ok = 0;
    for (int i = 0; i < 30; i++) ask("check ivy pw");
    EXPECT_EQ(ok, 30);  // each process reconnects at its next request
    EXPECT_EQ(a.request(&ca, 901, "lookup jay"), Lines{"901 -ERR jay not found"});
    EXPECT_TRUE(a.stop());
}

// The engine's files in, the same lines out: kvauth.txt as a rebuild writes
// it (ordered by name here, one line per user), then an add file's markers;
// then the database turns read-only.
TEST_F(PgauthDb, ImportExportRoundTripThenReadOnly) {
    const TempDir &d = dir;
    // A crypt(3) result of "secret" with the salt "ab", and a digest text.
    const std::string ssha = "{ssha}fq2sD0J6Wrc0MydeCBY4aiLbhWvaJBak",
                      cy = "cy:" + ssha + ":mail=\"c@x\" q=\"1\"\n",
                      dee = "dee:*pw:bytes \xff\xfe are kept\n";
    write_file(d.file("kvauth.txt"),
               "amy:abNANd1rDfiNc:\nben:*clear: lead: colons\n" + cy + dee + "eve:none:\n");
    write_file(d.file("kvauth.add"),
               "Fay:*f1:new=1\namy:(NULL):(BLOCK)\neve:(DELETE):(DELETE)\nben:(NULL):(BLOCK)\n"
               "ben:(NULL):(UNBLOCK)\nghost:(DELETE):(DELETE)\n");
    RunResult r = pgauth_run(conf, {"-import", d.file("kvauth.txt"), d.file("kvauth.add")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string want =
        "amy:abNANd1rDfiNc: (BLOCK)\nben:*clear: lead: colons \n" + cy + dee + "fay:*f1:new=1\n";
    r = pgauth_run(conf, {"-export"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, want);

    // What was imported answers as the engine would.
    r = pgauth_run(conf, {},
                   "check amy secret\nset amy (NULL) (UNBLOCK)\ncheck amy secret\n"
                   "check fay f1\nlookup eve\n");
    EXPECT_EQ(r.out,
              "-ERR amy password wrong or not a valid user\n+OK amy added to database\n"
              "+OK amy config 0  \n+OK fay config 0 new=1\n-ERR eve not found\n");

    // The export read back into an emptied table gives the same file.
    write_file(d.file("export.txt"), want);
    ASSERT_EQ(pg.sql("TRUNCATE pgauth_users"), "");
    r = pgauth_run(conf, {"-import", d.file("export.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(pgauth_run(conf, {"-export"}).out, want);
    EXPECT_EQ(pgauth_run(conf, {"-import", d.file("missing.txt")}).status, 1);

    // A hot standby refuses writes with the same error as this setting.
    ASSERT_EQ(pgauth_run(conf, {}, "set kim pw\n").out, "+OK kim added to database\n");
    ASSERT_EQ(pg.sql("ALTER DATABASE postgres SET default_transaction_read_only = on"), "");
    r = pgauth_run(conf, {}, "set lee pw\nmod kim x a=\"1\"\ndel kim\ncheck kim pw\n");
    const std::string ro = "-ERR database is read-only, changes are refused here\n";
    EXPECT_EQ(r.out, ro + ro + ro + "+OK kim config 0 \n");
}
