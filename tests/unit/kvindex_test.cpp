#include <gtest/gtest.h>

#include <random>

#include "engine/kvfilename.h"
#include "engine/kvindex.h"
#include "engine/kvrebuild.h"
#include "engine/kvrefresh.h"
#include "engine_env.h"

namespace {

TEST(StrHash, ValuesAndLowerCase) {
    // Bytes above 127 count negative: -8 is folded to 8.
    const std::pair<const char *, int> cases[] = {{"a", 0},     {"ab", 784},  {"abc", 368},
                                                  {"bob", 456}, {"cob", 456}, {"x\xff", 8}};
    for (const auto &[s, h] : cases) EXPECT_EQ(str_hash(s, 2000), h) << s;
    char s[] = "AbZ@[`z\xc9";
    EXPECT_STREQ(strlwr(s), "abz@[`z\xc9");
}

using IndexTest = EngineTest;

int bob_records(const char *name) {
    int n = 0;
    for (const USER *p = auth_bucket(str_hash("bob", 2000)); p; p = p->next)
        n += std::string(p->user) == name;
    return n;
}

// The later line of a name answers; the earlier stays in the chain behind it.
TEST_F(IndexTest, BuildReadsLinesAndShadowsDuplicates) {
    EXPECT_EQ(build_index("init"), 1);  // a missing database gives an empty index
    EXPECT_TRUE(log_has("Build_index FAILED"));
    db("Bob:*one:first\nalice:*a:x\nbob:*two:second\n\nsingleword\n#hash:*h:i\n");
    chmod(file("kvauth.txt").c_str(), 0600);
    ASSERT_EQ(build_index("init"), 1);
    EXPECT_EQ(mode("kvauth.txt"), 0660);
    EXPECT_EQ(auth_user_count(), 4);
    EXPECT_STREQ(auth_find("BOB")->info, "second");
    EXPECT_EQ(bob_records("bob"), 2);
    EXPECT_NE(auth_find("#hash"), nullptr);
    EXPECT_STREQ(db_pass("Alice"), "*a");
    EXPECT_STREQ(db_pass("nobody"), "none");
    EXPECT_TRUE(log_has("Read 4 lines from kvauth.txt"));
}

// Over-long and unreadable lines (a NUL, control bytes) are logged once and
// left out: no piece of them becomes a record, and the rebuild drops them.
TEST_F(IndexTest, LongAndGarbageLinesAreLeftOut) {
    std::string bad =
        std::string(1200, 'a') + ":pw:i\n" + std::string("x\0y:*p:\n", 9) + "\x01\x02:*p:\x7f\n";
    db("ok:*p:i\n" + bad);
    add("fine:*p:\n" + bad);
    run("lookup ok");
    EXPECT_EQ(auth_user_count(), 2);
    EXPECT_EQ(auth_rebuild(), 1);  // replays the add file a second time
    EXPECT_EQ(content("kvauth.txt"), "ok:*p:i\nfine:*p:\n");
    const std::string lg = log();
    for (const char *f : {"kvauth.txt", "kvauth.add"})
        for (const char *l : {"Line 2 of %s too long", "Line 3 of %s unreadable"}) {
            char want[200];
            snprintf(want, sizeof want, l, file(f).c_str());
            EXPECT_EQ(lg.find(want), lg.rfind(want)) << want;
            EXPECT_NE(lg.find(want), std::string::npos) << want;
        }
}

TEST_F(IndexTest, MarkersBlockUnblockAndDelete) {
    db("dave:*pw:x=1 (BLOCK) y=2\nerin:*pw:" + std::string(950, 'i') +
       "\nbob:*old:o\nbob:*new:n\n");
    build_index("init");
    for (int i = 0; i < 2; i++) auth_fixup("dave", "(NULL)", "(UNBLOCK)");  // cuts at the marker
    EXPECT_STREQ(auth_find("dave")->info, "x=1 ");
    EXPECT_STREQ(auth_find("dave")->pass, "*pw");
    auth_fixup("erin", "(NULL)", "(BLOCK)");  // keeps the first 900 characters
    EXPECT_EQ(std::string(auth_find("erin")->info), std::string(900, 'i') + " (BLOCK)");
    auth_fixup("ghost", "(NULL)", "(BLOCK)");
    EXPECT_STREQ(auth_find("ghost")->pass, "none");
    auth_fixup("nobody", "(DELETE)", "(DELETE)");
    EXPECT_EQ(auth_user_count(), 5);
    // A deletion uncovers an older record of the same name.
    auth_fixup("BOB", "(DELETE)", "(DELETE)");
    EXPECT_STREQ(auth_find("bob")->pass, "*old");
    auth_fixup("bob", "(DELETE)", "(DELETE)");
    EXPECT_EQ(auth_find("bob"), nullptr);
    auth_fixup("Bob", "*again", "a");
    EXPECT_EQ(auth_user_count(), 4);
    EXPECT_EQ(bob_records(""), 2);  // the deleted records stay with empty names
    EXPECT_EQ(auth_find(""), nullptr);
}

TEST_F(IndexTest, AddFileReplay) {
    db("");
    build_index("init");
    const std::string name(150, 'n'), pass(150, 'p');
    write_file(file("kvauth.add"),
               "carol:*pw:x=1\ncarol:(NULL):(BLOCK)\ngil:*pw:i\n" + name + ":" + pass + ":info\n");
    check_add();
    // Name and password whole: cut, they would be another user's.
    EXPECT_EQ(db_pass(name.c_str()), pass);
    EXPECT_EQ(auth_find(name.substr(0, 100).c_str()), nullptr);
    // Removed from the index only: an unchanged add file is not read again...
    auth_fixup("gil", "(DELETE)", "(DELETE)");
    check_add();
    EXPECT_EQ(auth_find("gil"), nullptr);
    // ...until the next replay is told to read it whole; a block replays once.
    set_add_file_reread();
    check_add();
    EXPECT_NE(auth_find("gil"), nullptr);
    EXPECT_STREQ(auth_find("carol")->info, "x=1 (BLOCK)");
    EXPECT_EQ(auth_user_count(), 3);
}

// Under random changes the name index answers as the first match of the
// chains; compaction then drops the deleted records only, every chain in
// its order.
TEST_F(IndexTest, NameIndexAndCompactionAgreeWithTheChains) {
    std::string text;
    for (int i = 0; i < 20000; i++)
        text += "u" + std::to_string(i % 15000) + ":*p:" + std::string(60, 'i') + "\n";
    db(text);
    build_index("init");
    auto agree = [] {
        for (int k = 0; k < 16000; k++) {
            const std::string key = "u" + std::to_string(k);
            const USER *p = auth_bucket(str_hash(key.c_str(), 2000));
            while (p && key != p->user) p = p->next;
            ASSERT_EQ(auth_find(key.c_str()), p) << key;
        }
    };
    auto chains = [](bool deleted) {
        std::string all;
        for (int b = 0; b < 2000; b++)
            for (const USER *p = auth_bucket(b); p; p = p->next)
                if (deleted || p->user[0]) all += std::string(p->user) + ":" + p->pass + "\n";
        return all;
    };
    std::mt19937 rng(42);
    for (int step = 0; step < 20000 && !HasFatalFailure(); step++) {
        const std::string name = "u" + std::to_string(rng() % 16000);
        const unsigned op = rng() % 3;  // delete, change or block
        auth_fixup(name.c_str(),
                   op == 0   ? "(DELETE)"
                   : op == 1 ? "*n"
                             : "(NULL)",
                   op == 2 ? "(BLOCK)" : "i");
        if (step % 997 == 0) agree();
    }
    for (int i = 0; i < 14000; i++) auth_fixup(("u" + std::to_string(i)).c_str(), "(DELETE)", "");
    const std::string live = chains(false);
    const int users = auth_user_count();
    EXPECT_EQ(compact_index(), 1);
    EXPECT_TRUE(chains(true) == live);
    EXPECT_EQ(compact_index(), 0);  // nothing left to drop
    EXPECT_EQ(auth_user_count(), users);
    agree();
}

}  // namespace

// Without a directory of its own the engine takes the mail server's, found
// once; a directory given later wins and is cut to 100 characters.
TEST_F(IndexTest, MailConfigPathAndArgPath) {
    kvauth_set_path("");
    file_vexmo_set_for_test(file("vexmo.conf").c_str());
    EXPECT_STREQ(file_config("kvauth.add"), "kvauth.add");  // no mail configuration
    write_file(file("vexmo.conf"), "something else\n");
    EXPECT_STREQ(file_config("kvauth.add"), "/kvauth.add");
    write_file(file("vexmo.conf"),
               "other x\nHALVO_PATH /first\nlonely\n\thalvo_path   /data/kv  extra\n");
    EXPECT_STREQ(file_config("kvauth.add"), "/data/kv/kvauth.add");
    write_file(file("vexmo.conf"), "halvo_path /changed\n");
    EXPECT_STREQ(file_config("kvauth.txt"), "/data/kv/kvauth.txt");
    const std::string dir = "/" + std::string(150, 'd');
    kvauth_set_path(dir.c_str());
    EXPECT_EQ(std::string(file_config("kvauth.txt")), dir.substr(0, 100) + "/kvauth.txt");
}

// A chmod of kvauth.txt (every writer makes one) is no new version: taking it
// for one made every process reload its whole index after each other's set.
// A record known only in memory shows whether the index was reloaded.
TEST_F(IndexTest, RefreshReloadsOnlyAReplacedDatabase) {
    db("alice:*pw:i\n");
    kvrefresh_close();
    kvrefresh_before();
    auth_fixup("ghost", "*g", "");
    chmod(file("kvauth.txt").c_str(), 0640);
    kvrefresh_before();
    EXPECT_NE(auth_find("ghost"), nullptr) << "reloaded after a chmod";
    write_file(file("kvauth.new"), "alice:*pw:i\nbob:*b:\n");
    rename(file("kvauth.new").c_str(), file("kvauth.txt").c_str());
    kvrefresh_before();
    EXPECT_EQ(auth_find("ghost"), nullptr) << "a replaced file was not reloaded";
    EXPECT_NE(auth_find("bob"), nullptr);
    kvrefresh_close();
}
