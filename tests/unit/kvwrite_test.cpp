#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <regex>

#include "engine/kvrebuild.h"
#include "engine/kvrules.h"
#include "engine/kvset.h"
#include "engine_env.h"

namespace {

using KvWriteTest = EngineTest;

// The add file and the change log get one line per change; refused changes
// write nothing.
TEST_F(KvWriteTest, StoredFormsModesAndChangeLog) {
    EXPECT_EQ(one("set alice s3cret"), "+OK alice added to database\n");
    EXPECT_EQ(content("kvauth.txt"), "");
    for (const char *f : {"kvauth.txt", "kvauth.add", "kvauth.clg"}) EXPECT_EQ(mode(f), 0660) << f;
    EXPECT_TRUE(log_has("auth_set(alice,xxxx)\n"));
    EXPECT_EQ(log().find("s3cret"), std::string::npos) << "the password reached the log";
    for (const char *cmd :
         {"set a (NULL) i=1", "set b *1", "set b (NULL) (BLOCK)", "mod b x k=\"v\"", "del b",
          "del never", "set b:c *1", "mod nobody x k=1"})
        run(cmd);
    const std::string add = content("kvauth.add");
    EXPECT_EQ(content("kvauth.clg"), add);
    EXPECT_TRUE(std::regex_match(
        add,
        std::regex("alice:\\{ssha\\}[A-Za-z0-9+/]{32}:\na:none:i=1\nb:\\*1:\nb:\\*1:\\(BLOCK\\)\n"
                   "b:\\*1: \\(BLOCK\\) k=\"v\"\nb:\\(DELETE\\):\\(DELETE\\)\n"
                   "never:\\(DELETE\\):\\(DELETE\\)\n")))
        << add;
}

// What the readers would not take back whole (lines over 998 characters,
// control bytes, DEL) is refused like any other bad change, also a block
// whose record would grow past the limit, and a deletion line too long.
TEST_F(KvWriteTest, RefusedChangesWriteNothing) {
    const std::string bad_user = "-ERR Could not add user. Illegal characters in username.\n",
                      bad_pass = "-ERR Could not add user. Illegal characters in password.\n",
                      too_long = "-ERR Line too long\n";
    const std::pair<std::string, std::string> rows[] = {
        {"set a:b *p", bad_user},
        {"set", bad_user},
        {"set x *a\tb", bad_pass},
        {"del " + std::string(990, 'd'), too_long},
        {"mod ghost x a=\"1\"", "-ERR No such user\n"},
        {"set " + std::string(256, 'n') + " *p",
         "-ERR Could not add user. Username longer than 255 characters.\n"},
        {"set alice p " + std::string(953, 'a') + "mallory *hunter2 n=1", too_long},
        {"set c *p " + std::string(994, 'i'), too_long},
    };
    for (const auto &[cmd, reply] : rows) EXPECT_EQ(one(cmd), reply) << cmd.substr(0, 12);
    for (const char *f : {"kvauth.add", "kvauth.clg"}) EXPECT_FALSE(exists(f)) << f;
    EXPECT_TRUE(log_has("ERROR: Username contains bad characters from (:|\")\n"));
    db("old:*pw:\n");  // an existing database is never emptied
    EXPECT_EQ(one("set " + std::string(255, 'n') + " *p"),
              "+OK " + std::string(255, 'n') + " added to database\n");
    EXPECT_EQ(one("set b *p " + std::string(993, 'i')), "+OK b added to database\n");
    EXPECT_EQ(one("mod b x k=\"v\""), too_long);
    const std::string n100(100, 'n');
    EXPECT_EQ(one("set " + n100 + " *p " + std::string(894, 'i')),
              "+OK " + n100 + " added to database\n");
    EXPECT_EQ(one("set " + n100 + " (NULL) (BLOCK)"), too_long);
    EXPECT_EQ(count_lines(content("kvauth.add")), 3);
    EXPECT_EQ(content("kvauth.txt"), "old:*pw:\n");
}

TEST(KvUsernameBadchar, Table) {
    for (const char *n : {"alice", "a.b-c_d+e", "a b", "a@b", "u@x,y;z/(w)<v>[]", ""})
        EXPECT_EQ(username_badchar(n), 0) << n;
    for (const char *n :
         {"a:b", "a|b", "a\"b", "a\x7f", "a\x01", "caf\xc3\xa9", "a@b@c", "a,b@x", "a;b", "a/b",
          "a\\b", "a[b", "a]b", "a(b", "a)b", "a<b", "a>b", "u@x:y", "u@x|y"})
        EXPECT_EQ(username_badchar(n), 1) << n;
}

// Without a closing quote nothing after the key survives, without a pair
// the information stays as it was.
TEST_F(KvWriteTest, ModWithoutClosingQuoteOrPair) {
    for (const char *cmd :
         {"set v *p a=\"1\" b=\"2", "mod v x b=\"3\"", "set w *p a=\"1\"", "mod w x"})
        run(cmd);
    EXPECT_EQ(one("lookup v"), "+OK v config 0 b=\"3\" a=\"1\" \n");
    EXPECT_EQ(one("lookup w"), "+OK w config 0 a=\"1\" \n");
}

// A deletion is written whatever the name; an unstorable one touches no
// other user.
TEST_F(KvWriteTest, DeleteAppendsEvenForUnknownAndUnstorableNames) {
    for (const char *cmd : {"set Bob *p", "set a *p x=1", "del BOB", "del a:b", "del a\tb"})
        EXPECT_EQ(run(cmd).size(), 1u) << cmd;
    EXPECT_EQ(one("lookup bob"), "-ERR bob not found\n");
    EXPECT_EQ(content("kvauth.add"), "Bob:*p:\na:*p:x=1\nBOB:(DELETE):(DELETE)\n");
    EXPECT_EQ(count_lines(content("kvauth.clg")), 5);
    restart();
    EXPECT_EQ(one("check a p"), "+OK a config 0 x=1\n");
}

TEST_F(KvWriteTest, ReplyComesAfterTheLineIsOnDisk) {
    static std::string add_path, seen;
    add_path = file("kvauth.add");
    kvauth_setprint([](char *) { seen = read_file(add_path); });
    auth_set("dur", "*p", "i");
    EXPECT_EQ(seen, "dur:*p:i\n");
    auth_del("dur", 0);
    EXPECT_EQ(seen, "dur:*p:i\ndur:(DELETE):(DELETE)\n");
}

TEST_F(KvWriteTest, FailedAppendIsNotAcknowledged) {
    run("set first *p");
    struct rlimit old, lim;
    getrlimit(RLIMIT_FSIZE, &old);
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    lim = old;
    lim.rlim_cur = static_cast<rlim_t>(content("kvauth.add").size() + 5);
    setrlimit(RLIMIT_FSIZE, &lim);
    std::string r = one("set second *p");
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(r.rfind("-DEAD Could not access database.(", 0), 0u) << r;
    EXPECT_EQ(one("lookup second"), "-ERR second not found\n");
    EXPECT_EQ(one("set third *p"), "+OK third added to database\n");
    EXPECT_EQ(content("kvauth.add"), "first:*p:\nthird:*p:\n");

    ASSERT_EQ(rename(file("kvauth.add").c_str(), file("old.add").c_str()), 0);
    ASSERT_EQ(mkdir(file("kvauth.add").c_str(), 0700), 0);
    const std::string why = file("kvauth.add") + ") (Is a directory)\n";
    EXPECT_EQ(one("set x *p"), "-DEAD Could not access database.(" + why);
    EXPECT_EQ(one("del x"), "-ERR Could not access database.(" + why);
    EXPECT_TRUE(log_has("-DEAD Could not append to (" + why));
}

// The reply comes before the rebuild, which starts once the add file has
// grown beyond 29000 bytes.
TEST_F(KvWriteTest, RebuildStartsAboveThreshold) {
    std::string text;
    for (int i = 0; text.size() < 29000 - 10; i++) text += "fill" + std::to_string(i) + ":*p:\n";
    add(text + std::string(29000 - text.size() - 1, 'i') + "\n");
    static std::string txt_path, txt_at_reply;
    txt_path = file("kvauth.txt");
    kvauth_setprint([](char *) { txt_at_reply = read_file(txt_path); });
    auth_set("one", "*p", "");
    EXPECT_EQ(content("kvauth.txt"), "") << "exactly 29000 bytes must not rebuild";
    auth_set("two", "*p", "");
    EXPECT_EQ(txt_at_reply, "");
    for (const char *f : {"kvauth.add", "kvauth.add_old", "kvauth.tmp"})
        EXPECT_FALSE(exists(f)) << f;
    const std::string txt = content("kvauth.txt");
    for (const char *l : {"one:*p:\n", "two:*p:\n", "fill0:*p:\n"})
        EXPECT_NE(txt.find(l), std::string::npos) << l;
    EXPECT_EQ(content("kvauth.bck"), txt);
    EXPECT_EQ(mode("kvauth.bck"), 0660);
    EXPECT_TRUE(log_has("Wrote " + std::to_string(count_lines(txt)) + " lines to kvauth.new\n"));
}

// A rebuild that cannot write leaves kvauth.add_old; the next one folds it
// in first, then the newer add file, and leaves deleted users out. A backup,
// once there, is never replaced.
TEST_F(KvWriteTest, RebuildCarriesOnFromAnUnfinishedOne) {
    db("base:*p:b\ngone:*p:g\n");
    write_file(file("kvauth.bck_99999"), "base:*p");  // left by a killed writer
    for (const char *cmd : {"lookup base", "set bob *old o", "set ann *a", "del gone"}) run(cmd);
    ASSERT_EQ(mkdir(file("kvauth.tmp").c_str(), 0700), 0);
    EXPECT_EQ(auth_rebuild(), 0);
    EXPECT_TRUE(log_has("Unable to open " + file("kvauth.tmp") + ", Is a directory\n"));
    EXPECT_EQ(content("kvauth.txt"), "base:*p:b\ngone:*p:g\n");
    run("set bob *new n");
    ASSERT_EQ(rmdir(file("kvauth.tmp").c_str()), 0);
    restart();
    ASSERT_EQ(auth_rebuild(), 1);
    EXPECT_TRUE(log_has("Found old file (" + file("kvauth.add_old") + ") processing it first\n"));
    for (const char *f : {"kvauth.add_old", "kvauth.bck_99999"}) EXPECT_FALSE(exists(f)) << f;
    const std::string txt = content("kvauth.txt");
    EXPECT_EQ(count_lines(txt), 3);
    for (const char *l : {"base:*p:b\n", "ann:*a:\n", "bob:*new:n\n"})
        EXPECT_NE(txt.find(l), std::string::npos) << l;
    EXPECT_EQ(one("check bob new"), "+OK bob config 0 n\n");
    run("set later *p");
    ASSERT_EQ(auth_rebuild(), 1);
    EXPECT_EQ(count_lines(content("kvauth.txt")), 4);
    EXPECT_EQ(content("kvauth.bck"), txt);
}

}  // namespace
