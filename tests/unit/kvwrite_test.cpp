#include "engine/kvprint.h"
#include "engine/kvfilename.h"
#include "engine/kvset.h"
#include "engine/kvrebuild.h"
#include "engine/kvrules.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <regex>
#include <sstream>

#include "engine_env.h"

namespace {

// "{ssha}" followed by 32 Base64 characters.
bool is_ssha(const std::string &s) {
    return std::regex_match(s, std::regex("\\{ssha\\}[A-Za-z0-9+/]{32}"));
}

class KvWriteTest : public EngineTest {
   protected:
    // The password field of the add file's line for a name.
    std::string add_pass(const std::string &name) {
        std::istringstream in(content("kvauth.add"));
        std::string line, pass;
        while (std::getline(in, line))
            if (line.rfind(name + ":", 0) == 0)
                pass =
                    line.substr(name.size() + 1, line.find(':', name.size() + 1) - name.size() - 1);
        return pass;
    }
    // Fills the add file with well-formed lines up to exactly size bytes.
    void fill_add(size_t size) {
        std::string text;
        int i = 0;
        while (size - text.size() >= 60) text += "fill" + std::to_string(i++) + ":*p:\n";
        std::string last = "fill" + std::to_string(i) + ":*p:";
        text += last + std::string(size - text.size() - last.size() - 1, 'i') + "\n";
        ASSERT_EQ(text.size(), size);
        write_file(file("kvauth.add"), text);
    }
};

TEST_F(KvWriteTest, FirstAdditionCreatesTheFilesAndStoredForms) {
    EXPECT_EQ(one("set alice s3cret"), "+OK alice added to database\n");
    EXPECT_EQ(content("kvauth.txt"), "");
    EXPECT_TRUE(is_ssha(add_pass("alice"))) << content("kvauth.add");
    EXPECT_EQ(content("kvauth.add"), "alice:" + add_pass("alice") + ":\n");
    EXPECT_EQ(content("kvauth.clg"), content("kvauth.add"));
    for (const char *f : {"kvauth.txt", "kvauth.add", "kvauth.clg"}) EXPECT_EQ(mode(f), 0660) << f;
    EXPECT_EQ(one("check alice s3cret"), "+OK alice config 0 \n");
    EXPECT_EQ(auth_rebuild_size(), 29000);
    EXPECT_TRUE(log_has("auth_set(alice,xxxx)\n"));
    EXPECT_EQ(log().find("s3cret"), std::string::npos) << "the password reached the log";

    run("set a (NULL) i=1");
    EXPECT_EQ(add_pass("a"), "none");
    EXPECT_EQ(one("check a none"), "-ERR a password wrong or not a valid user\n");
    run("set b *clear");
    EXPECT_EQ(add_pass("b"), "*clear");
    run("set b (NULL) i=2");
    EXPECT_EQ(add_pass("b"), "*clear");
    EXPECT_EQ(one("check b clear"), "+OK b config 0 i=2\n");
    run("set c");
    EXPECT_TRUE(is_ssha(add_pass("c")));
    EXPECT_EQ(one("check c"), "+OK c config 0 \n");
    EXPECT_EQ(std::string(str_encode("*x")), "*x");
}

// Lines longer than the readers take (998 characters) would come back as
// two records: such a set or mod is refused like any other bad change.
TEST_F(KvWriteTest, RefusedChangesWriteNothing) {
    const std::string bad_user = "-ERR Could not add user. Illegal characters in username.\n",
                      bad_pass = "-ERR Could not add user. Illegal characters in password.\n",
                      too_long = "-ERR Line too long\n";
    const std::pair<std::string, std::string> rows[] = {
        {"set a:b *p", bad_user},
        {"set a\tb *p", bad_user},
        {"set", bad_user},
        {"set x *a:b", bad_pass},
        {"set x *a\tb", bad_pass},
        {"mod ghost x a=\"1\"", "-ERR No such user\n"},
        {"set " + std::string(256, 'n') + " *p",
         "-ERR Could not add user. Username longer than 255 characters.\n"},
    };
    for (const auto &[cmd, reply] : rows) EXPECT_EQ(one(cmd), reply) << cmd.substr(0, 12);
    EXPECT_FALSE(exists("kvauth.txt"));
    EXPECT_EQ(one("set alice p " + std::string(953, 'a') + "mallory *hunter2 n=1"), too_long);
    EXPECT_EQ(one("set c *p " + std::string(994, 'i')), too_long);
    for (const char *f : {"kvauth.add", "kvauth.clg"}) EXPECT_FALSE(exists(f)) << f;
    EXPECT_TRUE(log_has("ERROR: Username contains bad characters from (:|\")\n"));
    write_file(file("kvauth.txt"), "old:*pw:\n");  // an existing database is never emptied
    EXPECT_EQ(one("set " + std::string(255, 'n') + " *p"),
              "+OK " + std::string(255, 'n') + " added to database\n");
    EXPECT_EQ(one("set b *p " + std::string(993, 'i')), "+OK b added to database\n");
    EXPECT_EQ(one("mod b x k=\"v\""), too_long);
    EXPECT_EQ(count_lines(content("kvauth.add")), 2);
    EXPECT_EQ(content("kvauth.txt"), "old:*pw:\n");
    kvindex_reset_for_test();  // as after a restart
    kvauth_set_path(dir_.path().c_str());
    EXPECT_EQ(one("check mallory hunter2"), "-ERR mallory password wrong or not a valid user\n");
    EXPECT_EQ(one("lookup alice"), "-ERR alice not found\n");
}

TEST(KvUsernameBadchar, Table) {
    for (const char *n : {"alice", "a.b-c_d+e", "a b", "a@b", "u@x,y;z/(w)<v>[]", ""})
        EXPECT_EQ(username_badchar(n), 0) << n;
    for (const char *n :
         {"a:b", "a|b", "a\"b", "a\x7f", "a\x01", "caf\xc3\xa9", "a@b@c", "a,b@x", "a;b", "a/b",
          "a\\b", "a[b", "a]b", "a(b", "a)b", "a<b", "a>b", "u@x:y", "u@x|y"})
        EXPECT_EQ(username_badchar(n), 1) << n;
}

// Replacing and appending keys is in the transcripts; the edges are here:
// without a closing quote nothing after the key survives, without a pair
// the information stays as it was.
TEST_F(KvWriteTest, ModWithoutClosingQuoteOrPair) {
    run("set v *p a=\"1\" b=\"2");
    run("mod v x b=\"3\"");
    run("set w *p a=\"1\" b=\"2\"");
    run("mod w x");
    EXPECT_EQ(one("lookup v"), "+OK v config 0 b=\"3\" a=\"1\" \n");
    EXPECT_EQ(one("check w p"), "+OK w config 0 a=\"1\" b=\"2\" \n");
}

// Changing the same users again and again, with deletions, replays and
// rebuilds in between: the index keeps its size.
TEST_F(KvWriteTest, ChurnKeepsTheIndexFlat) {
    const std::string pad(40, 'x');
    for (int users : {1, 50}) {
        long warm = 0;
        for (int i = 0; i < 1500; i++) {
            std::string u = "u" + std::to_string(i % users), n = std::to_string(i);
            run(users > 1 && i % 7 == 3 ? "del " + u : "set " + u + " *p" + n + " q=" + n + pad);
            if (i == 300) warm = auth_index_bytes();
        }
        // Within one more 2 MiB slab of the pool; each replay used to take more.
        EXPECT_LE(auth_index_bytes(), warm + (2 << 20) + 16 * 200) << users << " users";
    }
}

TEST_F(KvWriteTest, DeleteAppendsEvenForUnknownAndUnstorableNames) {
    EXPECT_EQ(one("del ghost"), "+OK Deleted user successfully\n");
    EXPECT_EQ(content("kvauth.add"), "ghost:(DELETE):(DELETE)\n");
    run("set Bob *p");
    run("set carl *p");
    EXPECT_EQ(one("del BOB"), "+OK Deleted user successfully\n");
    EXPECT_EQ(one("lookup bob"), "-ERR bob not found\n");
    EXPECT_EQ(auth_del("carl", 1), 1);
    // An unstorable name touches no other user.
    run("set a *p x=1");
    EXPECT_EQ(one("del a:b"), "+OK Deleted user successfully\n");
    EXPECT_EQ(one("del a\tb"), "+OK Deleted user successfully\n");
    EXPECT_EQ(count_lines(content("kvauth.clg")), 8);
    EXPECT_TRUE(content("kvauth.add").ends_with("\na:*p:x=1\n"));
    kvindex_reset_for_test();
    kvauth_set_path(dir_.path().c_str());
    EXPECT_EQ(one("check a p"), "+OK a config 0 x=1\n");
    EXPECT_EQ(one("lookup carl"), "-ERR carl not found\n");
}

TEST_F(KvWriteTest, ReplyComesAfterTheLineIsOnDisk) {
    static std::string add_path;
    static std::string seen;
    add_path = file("kvauth.add");
    seen.clear();
    kvauth_setprint([](char *) { seen = read_file(add_path); });
    auth_set("dur", "*p", "i");
    EXPECT_EQ(seen, "dur:*p:i\n");
    auth_del("dur", 0);
    EXPECT_EQ(seen, "dur:*p:i\ndur:(DELETE):(DELETE)\n");
}

TEST_F(KvWriteTest, FailedAppendIsNotAcknowledged) {
    run("set first *p");
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = old;
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
    EXPECT_EQ(count_lines(content("kvauth.clg")), 2);
}

TEST_F(KvWriteTest, RebuildStartsAboveThreshold) {
    fill_add(29000);
    static std::string txt_path;
    static std::string txt_at_reply;
    txt_path = file("kvauth.txt");
    kvauth_setprint([](char *) { txt_at_reply = read_file(txt_path); });
    auth_set("one", "*p", "");
    EXPECT_EQ(txt_at_reply, "");
    EXPECT_TRUE(exists("kvauth.add"));
    EXPECT_EQ(content("kvauth.txt"), "") << "exactly 29000 bytes must not rebuild";

    auth_set("two", "*p", "");
    EXPECT_EQ(txt_at_reply, "") << "the reply must come before the rebuild";
    for (const char *f : {"kvauth.add", "kvauth.add_old", "kvauth.tmp"})
        EXPECT_FALSE(exists(f)) << f;
    std::string txt = content("kvauth.txt");
    for (const char *l : {"one:*p:\n", "two:*p:\n", "fill0:*p:\n"})
        EXPECT_NE(txt.find(l), std::string::npos) << l;
    EXPECT_EQ(content("kvauth.bck"), txt);
    for (const char *f : {"kvauth.txt", "kvauth.bck"}) EXPECT_EQ(mode(f), 0660) << f;
    for (const std::string &l :
         {std::string("Rebuilding kvauth file\n"),
          "Reading new add file (" + file("kvauth.add_old") + ")\n",
          "Wrote " + std::to_string(count_lines(txt)) + " lines to kvauth.new\n"})
        EXPECT_TRUE(log_has(l)) << l;

    auth_set("three", "*p", "");
    EXPECT_EQ(content("kvauth.add"), "three:*p:\n");
}

TEST_F(KvWriteTest, RebuildLeavesOutDeletedUsersAndKeepsTheBackup) {
    write_file(file("kvauth.txt"), "old:*p:o\ngone:*p:g\n");
    write_file(file("kvauth.bck_99999"), "old:*p");  // left by a killed writer
    run("lookup old");                               // loads the index
    run("set new *p n");
    run("del gone");
    ASSERT_EQ(auth_rebuild(), 1);
    std::string txt = content("kvauth.txt");
    EXPECT_EQ(count_lines(txt), 2);
    for (const char *l : {"old:*p:o\n", "new:*p:n\n"})
        EXPECT_NE(txt.find(l), std::string::npos) << l;
    EXPECT_EQ(content("kvauth.bck"), txt);
    EXPECT_FALSE(exists("kvauth.bck_99999"));

    run("set later *p");
    ASSERT_EQ(auth_rebuild(), 1);
    EXPECT_EQ(count_lines(content("kvauth.txt")), 3);
    EXPECT_EQ(content("kvauth.bck"), txt) << "an existing backup is never replaced";
    EXPECT_EQ(auth_write_backup(), 0);

    ASSERT_EQ(remove(file("kvauth.bck").c_str()), 0);
    ASSERT_EQ(auth_rebuild(), 1);
    EXPECT_EQ(content("kvauth.bck"), content("kvauth.txt"));
}

TEST_F(KvWriteTest, RebuildCarriesOnFromAnUnfinishedOne) {
    write_file(file("kvauth.txt"), "base:*p:b\n");
    write_file(file("kvauth.add_old"), "bob:*old:o\nann:*a:\n");
    write_file(file("kvauth.add"), "bob:*new:n\n");
    ASSERT_EQ(auth_rebuild(), 1);
    EXPECT_TRUE(log_has("Found old file (" + file("kvauth.add_old") + ") processing it first\n"));
    EXPECT_FALSE(exists("kvauth.add_old"));
    EXPECT_EQ(content("kvauth.add"), "bob:*new:n\n");
    std::string txt = content("kvauth.txt");
    for (const char *l : {"base:*p:b\n", "ann:*a:\n", "bob:*new:n\n"})
        EXPECT_NE(txt.find(l), std::string::npos) << l;
    EXPECT_EQ(txt.find("*old"), std::string::npos) << "an older change won";
    EXPECT_EQ(one("check bob new"), "+OK bob config 0 n\n");
}

TEST_F(KvWriteTest, RebuildThatCannotWriteLeavesAddOldForTheNextOne) {
    write_file(file("kvauth.txt"), "base:*p:\n");
    run("lookup base");
    run("set x *p");
    ASSERT_EQ(mkdir(file("kvauth.tmp").c_str(), 0700), 0);
    EXPECT_EQ(auth_rebuild(), 0);
    EXPECT_TRUE(log_has("Unable to open " + file("kvauth.tmp") + ", Is a directory\n"));
    EXPECT_TRUE(exists("kvauth.add_old"));
    EXPECT_EQ(content("kvauth.txt"), "base:*p:\n");
    run("set y *p");
    ASSERT_EQ(rmdir(file("kvauth.tmp").c_str()), 0);
    ASSERT_EQ(auth_rebuild(), 1);
    EXPECT_FALSE(exists("kvauth.add_old"));
    std::string txt = content("kvauth.txt");
    EXPECT_EQ(count_lines(txt), 3);
    EXPECT_NE(txt.find("y:*p:\n"), std::string::npos);
}

TEST_F(KvWriteTest, UnreadableBackupCountsAsPresent) {
    ASSERT_EQ(symlink("kvauth.bck", file("kvauth.bck").c_str()), 0);  // ELOOP on open
    run("set x *p");
    ASSERT_EQ(auth_rebuild(), 1);
    EXPECT_TRUE(log_has("couldn't open file but not enoent??? " + file("kvauth.bck")));
    EXPECT_FALSE(log_has("Writing backup file"));
}

TEST_F(KvWriteTest, ChangeLogGetsOneLinePerChange) {
    run("set a *1");
    run("set a (NULL) (BLOCK)");
    run("mod a x k=\"v\"");
    run("del a");
    run("del never");
    run("set b:c *1");        // refused
    run("mod nobody x k=1");  // refused
    EXPECT_EQ(content("kvauth.clg"),
              "a:*1:\na:*1:(BLOCK)\na:*1: (BLOCK) k=\"v\"\na:(DELETE):(DELETE)\n"
              "never:(DELETE):(DELETE)\n");
    EXPECT_EQ(auth_changelog("z", "p", "i"), 1);
    EXPECT_EQ(count_lines(content("kvauth.clg")), 6);
}

}  // namespace
