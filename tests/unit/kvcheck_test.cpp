#include <gtest/gtest.h>

#include <crypt.h>
#include <string>

#include "engine/kvcheck.h"
#include "engine/kvsearch.h"
#include "engine_env.h"

namespace {

class CheckTest : public EngineTest {
   protected:
    std::string one_reply() {
        auto r = take_replies();
        EXPECT_EQ(r.size(), 1u);
        return r.empty() ? "" : r[0];
    }
};

TEST_F(CheckTest, ClearTextPassword) {
    db("bob:*secret:quota=5\n");
    EXPECT_EQ(auth_check("BoB", "secret"), 1);
    EXPECT_EQ(one_reply(), "+OK BoB config 0 quota=5\n");
    EXPECT_EQ(auth_check("bob", "Secret"), 0);
    EXPECT_EQ(one_reply(), "-ERR bob password wrong or not a valid user\n");
    EXPECT_TRUE(log_has("Clear text password wrong for user(bob), pass(Secret)!=(secret)"));
    EXPECT_TRUE(log_has("db_check(bob,xxxx)"));
}

TEST_F(CheckTest, StarAloneIsInvalid) {
    db("bob:*:i\n");
    EXPECT_EQ(auth_check("bob", ""), 0);
    EXPECT_EQ(auth_check("bob", "*"), 0);
    EXPECT_TRUE(log_has("ERROR: User (bob) has an encrypted password less than 2 chars long!"));
}

TEST_F(CheckTest, CryptPassword) {
    const char *made = crypt("letmein", "ab");
    ASSERT_NE(made, nullptr);
    std::string stored = made;
    db("carl:" + stored + ":\n");
    EXPECT_EQ(auth_check("carl", "letmein"), 1);
    EXPECT_EQ(one_reply(), "+OK carl config 0 \n");
    EXPECT_EQ(auth_check("carl", "letmeout"), 0);
    std::string wrong = crypt("letmeout", stored.c_str());
    EXPECT_TRUE(log_has("Password wrong for user(carl), pass(" + wrong + ")!=(" + stored + ")"));
}

TEST_F(CheckTest, SshaPasswordMadeElsewhere) {
    const unsigned char salt[4] = {0x00, 0xff, 0x10, 0x80};
    std::string text = ssha_of("s3cret", salt);
    db("dora:{ssha}" + text + ":a\neve:{SSHA}" + text + ":b\n");
    EXPECT_EQ(auth_check("dora", "s3cret"), 1);
    EXPECT_EQ(auth_check("eve", "s3cret"), 1);
    EXPECT_EQ(auth_check("dora", "s3cret!"), 0);
    take_replies();
}

TEST_F(CheckTest, BlockedUsers) {
    const unsigned char salt[4] = {1, 2, 3, 4};
    std::string crypted = crypt("pw", "zz");
    db("h1:{ssha}" + ssha_of("pw", salt) + ":x (BLOCK)\nh2:" + crypted +
       ":(BLOCK)\nh3:*pw:(BLOCK)\n");
    EXPECT_EQ(auth_check("h1", "pw"), 0);
    EXPECT_EQ(auth_check("h2", "pw"), 0);
    EXPECT_EQ(auth_check("h3", "pw"), 1);
    take_replies();
    EXPECT_EQ(auth_lookup("h1"), 1);
    EXPECT_EQ(one_reply(), "+OK h1 config 0 x (BLOCK)\n");
}

TEST_F(CheckTest, NoneAndEmptyPasswords) {
    const unsigned char salt[4] = {4, 3, 2, 1};
    db("i1:none:\ni2:{ssha}" + ssha_of("", salt) + ":\n");
    EXPECT_EQ(auth_check("i1", "none"), 0);
    EXPECT_EQ(auth_check("i1", ""), 0);
    EXPECT_EQ(auth_check("i2", ""), 1);
    EXPECT_EQ(auth_check("i2", "x"), 0);
}

TEST_F(CheckTest, UnknownUserAndEmptyDatabase) {
    EXPECT_EQ(auth_check("nobody", "x"), 0);
    EXPECT_EQ(one_reply(), "-ERR nobody password wrong or not a valid user\n");
    EXPECT_TRUE(log_has("User not found (nobody)"));
    EXPECT_TRUE(log_has("Build_index called pass"));
}

TEST_F(CheckTest, DbCheckCopiesInfoAlsoOnFailure) {
    db("lu:*pw:" + std::string(1200, 'i').substr(0, 990) + "\n");
    char info[1000];
    EXPECT_EQ(db_check("lu", "bad", info), 0);
    EXPECT_EQ(strlen(info), 990u);
    EXPECT_EQ(db_check("lu", nullptr, info), 1);
    EXPECT_TRUE(log_has("db_check(lu,'NULL')"));
}

TEST_F(CheckTest, Lookup) {
    db("Mia:*pw:box=1\n");
    EXPECT_EQ(auth_lookup("MIA"), 1);
    EXPECT_EQ(one_reply(), "+OK MIA config 0 box=1\n");
    EXPECT_EQ(auth_lookup("max"), 0);
    EXPECT_EQ(one_reply(), "-ERR max not found\n");
    EXPECT_EQ(auth_lookup(""), 0);
    EXPECT_EQ(one_reply(), "-ERR  not found\n");
}

}  // namespace
