// Password fields: the vectors that real tools made (tests/data/hashes) with
// their right and a wrong password, the key's accepted and refused values,
// fields made in each scheme and verified by crypt(3) or libargon2 itself,
// what counts as outdated, the cost bounds, and two threads at once.
#include "engine/passhash.h"

#include <argon2.h>
#include <crypt.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/server_fixture.h"

namespace {

class PassHash : public ::testing::Test {
   protected:
    void TearDown() override { configure(""); }  // the default for every other suite
    static void configure(const char *setting) {
        std::string why;
        ASSERT_TRUE(pass_hash_configure_from(setting, &why)) << why;
    }
};

// Each word of a blank-separated list.
std::vector<std::string> words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// Each vector with its password and a wrong one; the engine's {ssha} digests
// keep their six unexamined leading characters.
TEST_F(PassHash, VectorsVerifyWithTheirPasswordOnly) {
    std::vector<HashVector> all = hash_vectors();
    ASSERT_GT(all.size(), 30u);
    const std::string ssha = "CjWWau5x2pNTWhdvOHcfgJAmcb0FBgcI";  // "pw" with its 4-byte salt
    for (const char *prefix : {"{ssha}", "{SSHA}", "(any)!", "{SSHA256}"})
        all.push_back({"inline", "pw", prefix + ssha, prefix[5] != '2'});
    // Made right, but with a salt of 3 bytes and of none.
    all.push_back({"inline", "secret", "{SSHA}CgtTx9QecqDiMelrVDAFML1hrNsBAgM=", false});
    all.push_back(
        {"inline", "secret", "{SSHA256}K7gNU3sdo+OL0wNhqoVWhr3g6s1xYv72ol/pe/Unols=", false});
    for (const HashVector &v : all) {
        PassCheck right = pass_hash_verify(v.field.c_str(), v.pass.c_str());
        EXPECT_EQ(right.match, v.verifies) << v.file << " " << v.field;
        EXPECT_EQ(right.over_bound, v.file == "bounds.txt") << v.field;
        // Not the password with more behind it: DES crypt reads only 8 characters.
        for (const std::string &wrong : {"x" + v.pass, std::string(v.pass.empty() ? "y" : "")})
            EXPECT_FALSE(pass_hash_verify(v.field.c_str(), wrong.c_str()).match) << v.field;
    }
}

TEST_F(PassHash, ConfigureAcceptsBoundedSettingsOnly) {
    for (const char *ok : {"", "ssha", "sha512-crypt", "  sha512-crypt  rounds=1000 ",
                           "bcrypt cost=4", "yescrypt cost=1", "argon2id t=1 m=64 p=2"}) {
        std::string why;
        EXPECT_TRUE(pass_hash_configure_from(ok, &why)) << ok << ": " << why;
    }
    const std::pair<const char *, const char *> refused[] = {
        {"md5", "no such scheme; give ssha, sha512-crypt, bcrypt, yescrypt or argon2id"},
        {"BCRYPT", "no such scheme; give ssha, sha512-crypt, bcrypt, yescrypt or argon2id"},
        {"ssha cost=4", "ssha has no setting cost"},
        {"bcrypt rounds=5", "bcrypt has no setting rounds"},
        {"bcrypt cost", "\"cost\" is no setting of the form name=number"},
        {"bcrypt cost=x", "cost=x is no number"},
        {"bcrypt cost=-1", "cost=-1 is no number"},
        {"bcrypt cost=3", "cost must be from 4 to 13, not 3"},
        {"bcrypt cost=14", "cost must be from 4 to 13, not 14"},
        {"sha512-crypt rounds=999", "rounds must be from 1000 to 1000000, not 999"},
        {"sha512-crypt rounds=1000001", "rounds must be from 1000 to 1000000, not 1000001"},
        {"yescrypt cost=8", "cost must be from 1 to 7, not 8"},
        {"argon2id m=65537", "m must be from 8 to 65536, not 65537"},
        {"argon2id p=9", "p must be from 1 to 8, not 9"},
        {"argon2id m=8 p=2", "m must be at least 8 KiB per lane (p)"},
        {"argon2id t=5 m=65536", "t times m must be at most 262144, not 327680"},
    };
    for (const auto &[setting, reason] : refused) {
        std::string why;
        EXPECT_FALSE(pass_hash_configure_from(setting, &why)) << setting;
        EXPECT_EQ(why, "password_scheme " + std::string(setting) + ": " + reason);
    }
}

// A field made in each scheme verifies through crypt(3) or libargon2 alone,
// not only through our own verify, carries its cost, and is not outdated.
TEST_F(PassHash, MadeFieldsVerifyThroughTheSystemLibraries) {
    const std::pair<const char *, const char *> rows[] = {
        {"ssha", "{ssha}"},
        {"sha512-crypt rounds=1000", "$6$rounds=1000$"},
        {"sha512-crypt", "$6$"},
        {"bcrypt cost=4", "$2b$04$"},
        {"yescrypt cost=1", "$y$j75$"},
        {"argon2id t=1 m=64 p=2", "$argon2id$v=19$m=64,t=1,p=2$"},
    };
    const char *pw = "p\u00e4 ss:w";
    for (const auto &[setting, prefix] : rows) {
        configure(setting);
        std::string field, again, why;
        ASSERT_TRUE(pass_hash_make(pw, &field, &why)) << why;
        EXPECT_TRUE(field.starts_with(prefix)) << field;
        auto data = std::make_unique<crypt_data>();
        if (field.starts_with("$argon2id$")) {
            EXPECT_EQ(argon2id_verify(field.c_str(), pw, strlen(pw)), ARGON2_OK);
        } else if (field[0] == '$') {
            EXPECT_EQ(std::string(crypt_r(pw, field.c_str(), data.get())), field);
        }
        EXPECT_TRUE(pass_hash_verify(field.c_str(), pw).match) << field;
        EXPECT_FALSE(pass_hash_verify(field.c_str(), "p\u00e4 ss:W").match) << field;
        EXPECT_FALSE(pass_hash_outdated(field.c_str())) << field;
        EXPECT_EQ(pass_hash_costly(field.c_str()), field[0] == '$') << field;
        EXPECT_EQ(pass_make_costly(), field[0] == '$') << setting;
        ASSERT_TRUE(pass_hash_make(pw, &again, &why));
        EXPECT_NE(again, field) << "a fresh salt each time";
        ASSERT_TRUE(pass_hash_make_ssha("pw", &again, &why));
        EXPECT_TRUE(again.starts_with("{ssha}"));
    }
}

// Outdated: another scheme, or the same with less cost; never under {ssha}.
TEST_F(PassHash, OutdatedMeansWeakerThanConfigured) {
    const struct {
        const char *setting, *current, *outdated;
    } rows[] = {
        {"ssha", "$1$abc$def NrMcVmjizv3/c {SSHA512}x", ""},
        {"sha512-crypt rounds=20000", "$6$rounds=20000$s$h $6$rounds=30000$s$h",
         "$6$s$h $5$rounds=20000$s$h {ssha}CjWWau5x2pNTWhdvOHcfgJAmcb0FBgcI NrMcVmjizv3/c"},
        {"bcrypt cost=5", "$2b$05$h $2y$06$h", "$2b$04$h $2a$05$h $y$j9T$s$h"},
        {"yescrypt cost=1", "$y$j75$s$h $y$j9T$s$h", "$y$j55$s$h $gy$j75$s$h"},
        {"argon2id t=2 m=1024 p=1",
         "$argon2id$v=19$m=1024,t=2,p=1$s$h $argon2id$v=19$m=4096,t=3,p=4$s$h",
         "$argon2id$v=19$m=512,t=4,p=1$s$h $argon2id$v=19$m=1024,t=1,p=1$s$h "
         "$argon2i$v=19$m=1024,t=2,p=1$s$h"},
    };
    for (const auto &r : rows) {
        configure(r.setting);
        for (const std::string &f : words(r.current))
            EXPECT_FALSE(pass_hash_outdated(f.c_str())) << f;
        for (const std::string &f : words(r.outdated))
            EXPECT_TRUE(pass_hash_outdated(f.c_str())) << f;
    }
}

// The bound is read from the field's text: over it nothing is hashed. The
// fields at the bound are malformed behind their cost, so that crypt and
// libargon2 give up at once.
TEST_F(PassHash, CostBoundsAtVerify) {
    const std::string within = "$2b$13$! $7$CU..../....!$h $argon2id$v=19$m=65536,t=4,p=1$!$!";
    const std::string over =
        "$2b$14$! $2b$x$! $6$rounds=1000001$s$h $6$rounds=$s$h $6$rounds=9999999999$s$h "
        "$y$jCT$s$h $y$jBU$s$h $y$j9T.$s$h $7$DU..../....s$h $argon2id$v=19$m=65536,t=5,p=1$!$! "
        "$argon2id$v=19$m=65537,t=1,p=1$!$! $argon2i$m=1024,t=1,p=9$!$! "
        "$argon2id$v=19$m=1024,t=1$!$! _J9..BEmrjB7xloBb6uw $sha1$40000$s$h $md5,rounds=5$s$$h";
    for (const std::string &f : words(within + " " + over)) {
        PassCheck r = pass_hash_verify(f.c_str(), "pw");
        EXPECT_EQ(r.over_bound, over.find(f) != std::string::npos) << f;
        EXPECT_FALSE(r.match) << f;
    }
}

// Any thread may verify and make: two at once over schemes whose state
// could be shared (the SHA-1 context, the digest error record, crypt).
TEST_F(PassHash, TwoThreadsAtOnce) {
    configure("sha512-crypt rounds=1000");
    auto work = [](const char *field, const char *pass, int *ok) {
        for (int i = 0; i < 30; i++) {
            std::string made, why;
            *ok += pass_hash_verify(field, pass).match && !pass_hash_verify(field, "no").match &&
                   pass_hash_make(pass, &made, &why) && pass_hash_make_ssha(pass, &made, &why);
        }
    };
    int a = 0, b = 0;
    std::thread t1(work, "{ssha}CjWWau5x2pNTWhdvOHcfgJAmcb0FBgcI", "pw", &a);
    std::thread t2(work, "{SSHA}lHFzXul4wnzRItssVcTnvXWRjNgBAgMEBQYHCA==", "secret", &b);
    t1.join();
    t2.join();
    EXPECT_EQ(a + b, 60);
}
}  // namespace
