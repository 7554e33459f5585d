#include <gtest/gtest.h>

#include <crypt.h>

#include "engine/kvcmd.h"
#include "engine/kvindex.h"
#include "engine_env.h"

using CheckTest = EngineTest;

TEST_F(CheckTest, PasswordFormsAndBlocks) {
    const std::string crypted = crypt("letmein", "ab"), blocked = crypt("pw", "zz");
    // Digests made elsewhere: s3cret, pw and the empty password.
    db("bob:*secret:quota=5\nstar:*:i\ncarl:" + crypted +
       ":\ndora:{ssha}FIl0w8Dy+6HmIQnVPd3kwEAvP3YA/xCA:a\n"
       "eve:{SSHA}FIl0w8Dy+6HmIQnVPd3kwEAvP3YA/xCA:b\n"
       "h1:{ssha}U7ibqusRIn2eop2tE2PRlX8ckqwBAgME:x (BLOCK)\nh2:" +
       blocked +
       ":(BLOCK)\nh3:*pw:(BLOCK)\ni1:none:\ni2:{ssha}HkWoNKAo3RJ1sltj1hXSrsoNrLMEAwIB:\n");
    const std::tuple<const char *, const char *, int> cases[] = {
        {"BoB", "secret", 1},  {"bob", "Secret", 0},   {"star", "", 0},
        {"star", "*", 0},      {"carl", "letmein", 1}, {"carl", "letmeout", 0},
        {"dora", "s3cret", 1}, {"eve", "s3cret", 1},   {"dora", "s3cret!", 0},
        {"h1", "pw", 0},       {"h2", "pw", 0},        {"h3", "pw", 1},
        {"i1", "none", 0},     {"i1", "", 0},          {"i2", "", 1},
        {"i2", "x", 0},        {"nobody", "x", 0}};
    for (const auto &[user, pass, want] : cases) {
        EXPECT_EQ(auth_check(user, pass), want) << user << " " << pass;
        EXPECT_EQ(take_replies().size(), 1u);
    }
    EXPECT_EQ(one("lookup h1"), "+OK h1 config 0 x (BLOCK)\n");
    for (const std::string &l : std::vector<std::string>{
             "Clear text password wrong for user(bob), pass(Secret)!=(secret)",
             "ERROR: User (star) has an encrypted password less than 2 chars long!",
             "User not found (nobody)"})
        EXPECT_TRUE(log_has(l)) << l;
}
