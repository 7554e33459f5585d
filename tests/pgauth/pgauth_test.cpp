// Both user stores answer the shared case table alike, request by request;
// a pool of pgauth agrees through a server (engine mode: the transcripts; a
// pool of kvauth: kvauth_test); pgauth against a
// throwaway PostgreSQL: import and export, two servers on one database with
// their caches kept exact across processes, plain SQL and a cut connection,
// and the database failing under them.
#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <cstring>

#include "engine/kvfilename.h"
#include "engine/kvcmd.h"
#include "engine/kvrehash.h"
#include "engine/passhash.h"
#include "engine/userstore.h"
#include "pg_cluster.h"
#include "pgauth/pgconf.h"
#include "pgauth/pgdb.h"
#include "pgauth/pgstore.h"
#include "support/server_fixture.h"

namespace {
using Lines = std::vector<std::string>;

const std::string kA(255, 'a'), kB(256, 'b');
const std::string kWrong = " password wrong or not a valid user";

// Replies compare as sets of lines: search order is the engine's bucket
// order and name order in pgauth. An empty line stands for any data line,
// where which matches a page shows differs.
const std::vector<std::pair<std::string, Lines>> kCases = {
    {"version", {"+OK kvauth 4.0e"}},
    {"Frob x", {"-ERR Invalid command (frob) use help"}},
    {"", {"-ERR Invalid command (nocommand) use help"}},
    {"lookup\tbob", {"-ERR Invalid command (lookup\tbob) use help"}},
    {"set Alice s3cret mail=\"a@x\" q=\"1\"", {"+OK Alice added to database"}},
    {"CHECK ALICE s3cret", {"+OK ALICE config 0 mail=\"a@x\" q=\"1\""}},
    {"check alice wrong", {"-ERR alice" + kWrong}},
    {"check alice", {"-ERR alice" + kWrong}},
    {"lookup aLice", {"+OK aLice config 0 mail=\"a@x\" q=\"1\""}},
    {"mod alice other q=\"2\"", {"+OK alice added to database"}},
    {"check alice s3cret", {"+OK alice config 0 q=\"2\" mail=\"a@x\" "}},
    {"mod alice x z=\"9\"", {"+OK alice added to database"}},
    {"lookup alice", {"+OK alice config 0 q=\"2\" mail=\"a@x\"  z=\"9\""}},
    {"mod nobody x a=\"1\"", {"-ERR No such user"}},
    {"set bob *pw", {"+OK bob added to database"}},
    {"check bob PW", {"-ERR bob" + kWrong}},
    {"set carol (NULL) Box=1", {"+OK carol added to database"}},
    {"check carol none", {"-ERR carol" + kWrong}},
    {"set bob (NULL) (BLOCK)", {"+OK bob added to database"}},
    {"check bob pw", {"+OK bob config 0  (BLOCK)"}},
    {"set dave pw2 (BLOCK)", {"+OK dave added to database"}},
    {"check dave pw2", {"-ERR dave" + kWrong}},
    {"set dave (NULL) (UNBLOCK)", {"+OK dave added to database"}},
    {"check dave pw2", {"+OK dave config 0 "}},
    // A block and unblock pair replayed again by the engine adds a blank
    // each time: dave goes before that shows.
    {"del dave", {"+OK Deleted user successfully"}},
    {"set a:b x", {"-ERR Could not add user. Illegal characters in username."}},
    {"set eve *a:b", {"-ERR Could not add user. Illegal characters in password."}},
    {"set eve pw n=\"a\x01b\"", {"-ERR Could not add user. Illegal characters in information."}},
    {"mod alice x n=\"\x7f\"", {"-ERR Could not add user. Illegal characters in information."}},
    {"set " + kB + " x", {"-ERR Could not add user. Username longer than 255 characters."}},
    {"set " + kA + " x", {"+OK " + kA + " added to database"}},
    {"lookup " + kA, {"+OK " + kA + " config 0 "}},
    // The engine's replay cuts names at 100 characters, a record of its own.
    {"del " + kA, {"+OK Deleted user successfully"}},
    {"set frank@a(b).example pw", {"+OK frank@a(b).example added to database"}},
    {"search BO",
     {"+DATA bob  (BLOCK)", "+DATA carol Box=1", "+OK Search Complete 2 items found out of 4"}},
    {"search mail",
     {"+DATA alice q=\"2\" mail=\"a@x\"  z=\"9\"", "+OK Search Complete 1 items found out of 4"}},
    {"search", {"+OK Search Complete 0 items found out of 4"}},
    {"search [b-d]*",
     {"+DATA bob  (BLOCK)", "+DATA carol Box=1", "+OK Search Complete 2 items found out of 4"}},
    {"search ?o*", {"+DATA bob  (BLOCK)", "+OK Search Complete 1 items found out of 4"}},
    {"search * -max 2", {"", "", "+OK Search Complete 3 items found out of 4"}},
    {"search * -from 3 -max 5", {"", "", "+OK Search Complete 4 items found out of 4"}},
    {"search * -from 2 -max 1", {"", "+OK Search Complete 3 items found out of 4"}},
    {"search * -from 9", {"+OK Search Complete 4 items found out of 4"}},
    {"del bob", {"+OK Deleted user successfully"}},
    {"lookup bob", {"-ERR bob not found"}},
    {"del nobody", {"+OK Deleted user successfully"}},
    {"search *", {"", "", "", "+OK Search Complete 3 items found out of 3"}},
    {"set Bob *new", {"+OK Bob added to database"}},
    {"check BOB new", {"+OK BOB config 0 "}},
};

// Replies compare as sorted lines; "" in want stands for any data line.
void expect_reply(Lines got, Lines want, const std::string &cmd) {
    for (size_t i = 0; i + 1 < got.size(); i++)
        if (want[0].empty()) got[i] = "";
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want) << cmd;
}

// The whole table against the store bound now, one engine request a row.
void run_store_cases() {
    for (const auto &[cmd, want] : kCases) {
        Lines got;
        const ReplySink sink{[](void *to, char *t) {
                                 static_cast<Lines *>(to)->emplace_back(t, strcspn(t, "\r\n"));
                             },
                             nullptr, &got};
        std::string line = cmd;
        engine_request(line.data(), sink);
        expect_reply(got, want, cmd);
    }
    // Rehash goes through the store's own put: a right password in an old
    // scheme comes out in the configured one; a wrong one changes nothing.
    crypt_data cd{};
    const std::string old = crypt_r("pw", "$5$rounds=1000$storesalt$", &cd);
    ASSERT_TRUE(store_enter(true));
    ASSERT_TRUE(store().put("rh", old.c_str(), "r=1", nullptr));
    store_leave(true);
    rehash_enable(true);
    std::string why;
    ASSERT_TRUE(pass_hash_configure_from("sha512-crypt rounds=1000", &why)) << why;
    for (const char *pass : {"bad", "pw"}) {
        std::string line = std::string("check rh ") + pass;
        engine_request(line.data(), ReplySink{});
        engine_after_reply();
        UserView u;
        ASSERT_TRUE(store_enter(false));
        ASSERT_EQ(store().find("rh", &u), STORE_FOUND);
        EXPECT_EQ(std::string(u.pass).substr(0, 6), *pass == 'b' ? "$5$rou" : "$6$rou");
        store_leave(false);
    }
    rehash_enable(false);
    ASSERT_TRUE(pass_hash_configure_from("", &why));
}

// Through a server: rows of every kind of request, enough to show that the
// program behind it answers as its store does.
void run_cases(TestServer *s) {
    ZvClient c;
    ASSERT_TRUE(s->connect(&c));
    for (size_t id : {1, 2, 5, 6, 7, 9, 10, 14, 15, 17, 19, 20, 26, 34, 35, 44, 45, 47, 48, 49}) {
        const auto &[cmd, want] = kCases[id - 1];
        Lines got = s->request(&c, static_cast<int>(id), cmd);
        for (auto &g : got) g.erase(0, std::to_string(id).size() + 1);
        expect_reply(got, want, cmd);
    }
}

// A server in pool mode running n pgauth processes through a wrapper script
// (the pool passes no arguments); the pg_ keys sit in the server's own file.
void use_pgauth(TestServer *s, const PgCluster &pg, int n) {
    std::string wrapper = s->file("pgauth.sh");
    write_file(wrapper, "#!/bin/sh\nexec " + program_path("pgauth") + " -conf " + s->conf_path());
    chmod(wrapper.c_str(), 0700);
    s->extra_conf = {"authent_process " + wrapper, "authent_number " + std::to_string(n),
                     pg.conf_lines()};
}

RunResult pgauth_run(const std::string &conf, const Lines &args, const std::string &input = "") {
    Lines argv = {program_path("pgauth"), "-conf", conf};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, input, "", 120);
}

}  // namespace

// The password vectors imported as they are verify alike in PostgreSQL; set
// stores in the scheme of the file that holds the pg_ keys.
TEST(Pgauth, PasswordSchemes) {
    if (std::string why = PgCluster::unavailable(); !why.empty()) GTEST_SKIP() << why;
    PgCluster pg;
    ASSERT_TRUE(pg.start());
    TempDir a;
    VectorUsers v = vector_users();
    write_file(a.file("pg.conf"), pg.conf_lines() + "password_scheme yescrypt cost=1\n");
    write_file(a.file("kvauth.txt"), v.txt);
    ASSERT_EQ(pgauth_run(a.file("pg.conf"), {"-import", a.file("kvauth.txt")}).status, 0);
    EXPECT_EQ(pgauth_run(a.file("pg.conf"), {}, v.input + "set newu pw\ncheck newu pw\n").out,
              v.want + "+OK newu added to database\n+OK newu config 0 \n");
    EXPECT_TRUE(pgauth_run(a.file("pg.conf"), {"-export"}).out.starts_with("newu:$y$j75$"));
}

TEST(PgauthConf, KeysTimeoutsAndPasswordFile) {
    TempDir d;
    write_file(d.file("pw"), "sekrit\nignored\n");
    write_file(d.file("c"),
               "port 601\npg_host h\n  pg_port\t99\r\npg_user  two words\n\nlonely\n"
               "pg_database db\tcomment\npg_connect_timeout 0\npg_statement_timeout 7\n"
               "pg_target_session_attrs read-write\npg_password_file " +
                   d.file("pw") + "\n");
    PgSettings s;
    std::string err;
    ASSERT_EQ(pgconf_load(d.file("c").c_str(), &s, &err), 1) << err;
    // The server's own port key is not pgauth's; 0 is no time-out: the default stays.
    EXPECT_EQ(std::tie(s.host, s.port, s.user, s.database, s.password, s.connect_timeout,
                       s.statement_timeout, s.target),
              std::make_tuple("h", "99", " two words", "db", "sekrit", 5, 7, "read-write"));
    write_file(d.file("c"), "pg_password_file " + d.file("missing") + "\n");
    EXPECT_EQ(pgauth_run(d.file("c"), {"-export"}).status, 1);
    EXPECT_EQ(pgconf_load(d.file("nothing").c_str(), &s, &err), 0);
}

TEST(StoreCases, FileStore) {
    TempDir d;
    kvauth_set_path(d.path().c_str());
    run_store_cases();
    store().close();
    kvfilename_reset_for_test();
}

// The same table on PostgreSQL; then a warm cache answers without a statement.
TEST(StoreCases, Postgres) {
    if (std::string why = PgCluster::unavailable(); !why.empty()) GTEST_SKIP() << why;
    PgCluster pg;
    ASSERT_TRUE(pg.start());
    TempDir d;
    write_file(d.file("pg.conf"), pg.conf_lines());
    PgSettings settings;
    std::string err;
    ASSERT_EQ(pgconf_load(d.file("pg.conf").c_str(), &settings, &err), 1) << err;
    pgdb_configure(settings);
    store_use(&pg_store());
    run_store_cases();
    const ReplySink none{[](void *, char *) {}, nullptr, nullptr};
    uint64_t sent = 0;
    for (int i = 0; i <= 100; i++, sent = sent ? sent : pgdb_statements())
        for (std::string line : {"check bob new", "lookup nobody"})
            engine_request(line.data(), none);
    EXPECT_EQ(pgdb_statements(), sent);
    EXPECT_GT(pg_cache_size(), 0u);
    store().close();
    store_use(nullptr);
}

// On one database: the engine's files in, the same lines out (kvauth.txt as
// a rebuild writes it, ordered by name here, then an add file's markers);
// the shared cases, a second server, the database stopping and starting under
// requests (each gets one line, none hangs, the processes reconnect); at last
// the database turns read-only.
TEST(Pgauth, OneDatabase) {
    if (std::string why = PgCluster::unavailable(); !why.empty()) GTEST_SKIP() << why;
    PgCluster pg;
    ASSERT_TRUE(pg.start());
    TestServer a, b;
    const std::string conf = a.file("pg.conf"), txt = a.file("kvauth.txt");
    write_file(conf, pg.conf_lines());
    // A crypt(3) result of "secret" with the salt "ab", and a digest text.
    const std::string rest =
        "cy:{ssha}fq2sD0J6Wrc0MydeCBY4aiLbhWvaJBak:mail=\"c@x\" q=\"1\"\n"
        "dee:*pw:bytes \xff\xfe are kept\n";
    write_file(txt, "amy:abNANd1rDfiNc:\nben:*clear: lead: colons\n" + rest + "eve:none:\n");
    write_file(a.file("kvauth.add"),
               "Fay:*f1:new=1\namy:(NULL):(BLOCK)\neve:(DELETE):(DELETE)\nben:(NULL):(BLOCK)\n"
               "ben:(NULL):(UNBLOCK)\nghost:(DELETE):(DELETE)\n");
    ASSERT_EQ(pgauth_run(conf, {"-import", txt, a.file("kvauth.add")}).status, 0);
    const std::string want =
        "amy:abNANd1rDfiNc: (BLOCK)\nben:*clear: lead: colons \n" + rest + "fay:*f1:new=1\n";
    EXPECT_EQ(pgauth_run(conf, {"-export"}).out, want);
    EXPECT_EQ(pgauth_run(conf, {},
                         "check amy secret\nset amy (NULL) (UNBLOCK)\ncheck amy secret\n"
                         "check fay f1\nlookup eve\n")
                  .out,
              "-ERR amy password wrong or not a valid user\n+OK amy added to database\n"
              "+OK amy config 0  \n+OK fay config 0 new=1\n-ERR eve not found\n");
    // The engine's help, with a line on the order of search before its end.
    EXPECT_TRUE(
        pgauth_run(conf, {}, "help\n")
            .out.ends_with("+DATA \t(search lists matching users ordered by name)\n+OK \n"));
    // The export read back into an emptied table gives the same file.
    write_file(txt, want);
    ASSERT_EQ(pg.sql("TRUNCATE pgauth_users"), "");
    ASSERT_EQ(pgauth_run(conf, {"-import", txt}).status, 0);
    EXPECT_EQ(pgauth_run(conf, {"-export"}).out, want);
    EXPECT_EQ(pgauth_run(conf, {"-import", a.file("missing.txt")}).status, 1);
    ASSERT_EQ(pg.sql("TRUNCATE pgauth_users"), "");

    // One pgauth behind each server, each caching what it answered: a change
    // through one, or in plain SQL, is answered by the other's very next
    // request; a cut connection leaves nothing answered from the cache.
    use_pgauth(&a, pg, 1);
    use_pgauth(&b, pg, 1);
    ASSERT_TRUE(a.start());
    run_cases(&a);
    // Every change is in the change log, with the name as it was sent.
    EXPECT_EQ(pg.sql("SELECT 1 FROM pgauth_changes WHERE name = 'Alice'::bytea"), "");
    ASSERT_TRUE(b.start());
    ZvClient ca, cb;
    ASSERT_TRUE(a.connect(&ca) && b.connect(&cb));
    const std::string ok = "+OK kim config 0 ", no = " password wrong or not a valid user";
    // Which (0 a, 1 b, 2 plain SQL), the request, the reply.
    const std::tuple<int, std::string, std::string> rows[] = {
        {0, "set kim pw1", "+OK kim added to database"},
        {0, "check kim pw1", ok},
        {1, "check kim pw1", ok},
        {0, "lookup ned", "-ERR ned not found"},
        {1, "set kim pw2", "+OK kim added to database"},
        {0, "check kim pw2", ok},
        {1, "set ned *n", "+OK ned added to database"},
        {0, "lookup ned", "+OK ned config 0 "},
        {0, "set kim (NULL) (BLOCK)", "+OK kim added to database"},
        {1, "check kim pw2", "-ERR kim" + no},
        {1, "del ned", "+OK Deleted user successfully"},
        {0, "lookup ned", "-ERR ned not found"},
        {2, "UPDATE pgauth_users SET pass = '*sql' WHERE name = 'kim'", ""},
        {0, "check kim sql", ok + " (BLOCK)"},
        {2, "DELETE FROM pgauth_users WHERE name = 'kim'", ""},
        {0, "lookup kim", "-ERR kim not found"},
        {1, "set lee *l1", "+OK lee added to database"},
        {0, "check lee l1", "+OK lee config 0 "},
        {2, "TRUNCATE pgauth_users", ""},
        {0, "check lee l1", "-ERR lee" + no},
        {1, "set lee *l2", "+OK lee added to database"},
        {0, "check lee l2", "+OK lee config 0 "},
        // The connections are cut first: the change after it notifies nobody.
        {2,
         "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = "
         "'pgauth'",
         ""},
        {2, "UPDATE pgauth_users SET pass = '*l3' WHERE name = 'lee'", ""},
        {0, "check lee l3", "+OK lee config 0 "},
        {1, "check lee l2", "-ERR lee" + no},
        {0, "set ivy pw", "+OK ivy added to database"}};
    // PostgreSQL hands a notification to the other backend as the change
    // commits; on a busy machine that backend may not have run yet when the
    // next request comes, so a stale answer is asked again, for at most 5 s.
    for (const auto &[who, req, reply] : rows) {
        if (who == 2) {
            EXPECT_EQ(pg.sql(req), "") << req;
            continue;
        }
        auto ask = [&] { return (who ? b.request(&cb, 1, req) : a.request(&ca, 1, req)); };
        Lines got = ask();
        for (int i = 0; i < 500 && got != Lines{"1 " + reply} && !req.starts_with("set"); i++) {
            usleep(10000);
            got = ask();
        }
        EXPECT_EQ(got, Lines{"1 " + reply}) << who << " " << req;
    }
    EXPECT_TRUE(b.stop());
    // 30 checks pass, 10 and a set meet the stopped database, 30 pass again.
    const std::string up = " +OK ivy config 0 ", down = " -ERR database unavailable (";
    for (int id = 1; id <= 71; id++) {
        ASSERT_TRUE(id != 31 || pg.stop());
        ASSERT_TRUE(id != 42 || pg.start());
        Lines r = a.request(&ca, id, id == 41 ? "set jay pw" : "check ivy pw", 20000);
        ASSERT_EQ(r.size(), 1u) << id;
        EXPECT_EQ(r[0].find(std::to_string(id) + (id > 30 && id < 42 ? down : up)), 0u) << r[0];
    }
    EXPECT_EQ(a.request(&ca, 1, "lookup jay"), Lines{"1 -ERR jay not found"});

    // A hot standby refuses writes with the same error as this setting.
    ASSERT_EQ(pg.sql("ALTER DATABASE postgres SET default_transaction_read_only = on"), "");
    const std::string ro = "-ERR database is read-only, changes are refused here\n";
    EXPECT_EQ(pgauth_run(conf, {}, "set lee pw\nmod ivy x a=\"1\"\ndel ivy\ncheck ivy pw\n").out,
              ro + ro + ro + "+OK ivy config 0 \n");
}
