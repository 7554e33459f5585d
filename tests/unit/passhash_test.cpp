// Password fields: the vectors that real tools made (tests/data/hashes) with
// their right and a wrong password, the key's accepted and refused values,
// fields made in each scheme and verified by crypt(3) or libargon2 itself,
// what counts as outdated, the cost bounds, and two threads at once.
#include "engine/passhash.h"

#include <argon2.h>
#include <crypt.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/server_fixture.h"

namespace {

class PassHash : public ::testing::Test {
   protected:
    void TearDown() override {
        std::string why;
        ASSERT_TRUE(pass_hash_configure_from("", &why));  // the default for every other suite
    }
    static void configure(const char *setting) {
        std::string why;
        ASSERT_TRUE(pass_hash_configure_from(setting, &why)) << why;
    }
};

// Each vector with its password and a wrong one; the design's {ssha} digests
// keep their six unexamined leading characters.
TEST_F(PassHash, VectorsVerifyWithTheirPasswordOnly) {
    std::vector<HashVector> all = hash_vectors();
    ASSERT_GT(all.size(), 30u);
    const char *kSsha = "CjWWau5x2pNTWhdvOHcfgJAmcb0FBgcI";  // "pw" with its 4-byte salt
    for (const char *prefix : {"{ssha}", "{SSHA}", "(any)!"})
        all.push_back({"inline", "pw", prefix + std::string(kSsha), true});
    all.push_back({"inline", "pw", "{SSHA256}" + std::string(kSsha), false});
    all.push_back({"inline", "secret", "{SSHA}lHFzXul4wnzRItssVcTnvXWRjNgB", false});  // 3-byte salt
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
    const std::pair<const char *, const char *> rows[] = {
        {"", nullptr},
        {"ssha", nullptr},
        {"sha512-crypt", nullptr},
        {"  sha512-crypt  rounds=1000 ", nullptr},
        {"bcrypt cost=4", nullptr},
        {"yescrypt cost=1", nullptr},
        {"argon2id t=1 m=64 p=2", nullptr},
        {"md5", "md5 is no scheme"},
        {"BCRYPT", "BCRYPT is no scheme"},
        {"ssha cost=4", "ssha has no setting cost"},
        {"bcrypt rounds=5", "bcrypt has no setting rounds"},
        {"bcrypt cost", "\"cost\" is no setting of the form name=number"},
        {"bcrypt cost=x", "cost=x is no number"},
        {"bcrypt cost=-1", "cost=-1 is no number"},
        {"bcrypt cost=3", "cost must be from 4 to 13, not 3"},
        {"bcrypt cost=14", "cost must be from 4 to 13, not 14"},
        {"sha512-crypt rounds=999", "rounds must be from 1000 to 1000000"},
        {"sha512-crypt rounds=1000001", "rounds must be from 1000 to 1000000"},
        {"yescrypt cost=8", "cost must be from 1 to 7, not 8"},
        {"argon2id m=65537", "m must be from 8 to 65536"},
        {"argon2id p=9", "p must be from 1 to 8"},
        {"argon2id m=8 p=2", "m must be at least 8 KiB per lane"},
        {"argon2id t=5 m=65536", "t times m must be at most 262144, not 327680"},
    };
    for (const auto &[setting, refusal] : rows) {
        std::string why;
        EXPECT_EQ(pass_hash_configure_from(setting, &why), refusal == nullptr) << setting;
        EXPECT_NE(why.find(refusal ? refusal : ""), std::string::npos) << setting << ": " << why;
        EXPECT_EQ(why.rfind(refusal ? "password_scheme " : "", 0), 0u) << why;
    }
}

// A field made in each scheme verifies through crypt(3) or libargon2 alone,
// not only through our own verify, carries its cost, and is not outdated.
TEST_F(PassHash, MadeFieldsVerifyThroughTheSystemLibraries) {
    const struct {
        const char *setting, *prefix;
        bool costly;
    } rows[] = {
        {"ssha", "{ssha}", false},
        {"sha512-crypt rounds=1000", "$6$rounds=1000$", true},
        {"sha512-crypt", "$6$", true},
        {"bcrypt cost=4", "$2b$04$", true},
        {"yescrypt cost=1", "$y$j75$", true},
        {"argon2id t=1 m=64 p=2", "$argon2id$v=19$m=64,t=1,p=2$", true},
    };
    for (const auto &r : rows) {
        configure(r.setting);
        std::string field, why;
        ASSERT_TRUE(pass_hash_make("pä ss:w", &field, &why)) << why;
        EXPECT_EQ(field.rfind(r.prefix, 0), 0u) << field;
        if (field[0] == '$' && field[1] == 'a') {
            EXPECT_EQ(argon2id_verify(field.c_str(), "pä ss:w", 8), ARGON2_OK);
            EXPECT_NE(argon2id_verify(field.c_str(), "pä ss:x", 8), ARGON2_OK);
        } else if (field[0] == '$') {
            auto data = std::make_unique<crypt_data>();
            EXPECT_EQ(std::string(crypt_r("pä ss:w", field.c_str(), data.get())), field);
        }
        EXPECT_TRUE(pass_hash_verify(field.c_str(), "pä ss:w").match) << field;
        EXPECT_FALSE(pass_hash_verify(field.c_str(), "pä ss:W").match) << field;
        EXPECT_FALSE(pass_hash_outdated(field.c_str())) << field;
        EXPECT_EQ(pass_hash_costly(field.c_str()), r.costly) << field;
        EXPECT_EQ(pass_make_costly(), r.costly) << r.setting;
        std::string again;
        ASSERT_TRUE(pass_hash_make("pä ss:w", &again, &why));
        EXPECT_NE(again, field) << "a fresh salt each time";
        ASSERT_TRUE(pass_hash_make_ssha("pw", &again, &why));
        EXPECT_EQ(again.rfind("{ssha}", 0), 0u);
    }
}

// Outdated: another scheme, or the same with less cost; never under {ssha}.
TEST_F(PassHash, OutdatedMeansWeakerThanConfigured) {
    const struct {
        const char *setting, *field;
        bool outdated;
    } rows[] = {
        {"ssha", "$1$abc$def", false},
        {"ssha", "NrMcVmjizv3/c", false},
        {"sha512-crypt rounds=20000", "$6$rounds=20000$s$h", false},
        {"sha512-crypt rounds=20000", "$6$rounds=30000$s$h", false},
        {"sha512-crypt rounds=20000", "$6$s$h", true},
        {"sha512-crypt rounds=20000", "$5$rounds=20000$s$h", true},
        {"sha512-crypt rounds=20000", "{ssha}CjWWau5x2pNTWhdvOHcfgJAmcb0FBgcI", true},
        {"sha512-crypt rounds=20000", "NrMcVmjizv3/c", true},
        {"bcrypt cost=5", "$2b$05$h", false},
        {"bcrypt cost=5", "$2y$06$h", false},
        {"bcrypt cost=5", "$2b$04$h", true},
        {"bcrypt cost=5", "$2a$05$h", true},
        {"bcrypt cost=5", "$y$j9T$s$h", true},
        {"yescrypt cost=1", "$y$j75$s$h", false},
        {"yescrypt cost=1", "$y$j9T$s$h", false},
        {"yescrypt cost=1", "$y$j55$s$h", true},
        {"yescrypt cost=1", "$gy$j75$s$h", true},
        {"argon2id t=2 m=1024 p=1", "$argon2id$v=19$m=1024,t=2,p=1$s$h", false},
        {"argon2id t=2 m=1024 p=1", "$argon2id$v=19$m=4096,t=3,p=4$s$h", false},
        {"argon2id t=2 m=1024 p=1", "$argon2id$v=19$m=512,t=4,p=1$s$h", true},
        {"argon2id t=2 m=1024 p=1", "$argon2id$v=19$m=1024,t=1,p=1$s$h", true},
        {"argon2id t=2 m=1024 p=1", "$argon2i$v=19$m=1024,t=2,p=1$s$h", true},
    };
    for (const auto &r : rows) {
        configure(r.setting);
        EXPECT_EQ(pass_hash_outdated(r.field), r.outdated) << r.setting << " " << r.field;
    }
}

// The bound is read from the field's text: over it nothing is hashed. The
// fields at the bound here are malformed behind their cost, so crypt and
// libargon2 give up at once.
TEST_F(PassHash, CostBoundsAtVerify) {
    const std::pair<const char *, bool> rows[] = {
        {"$2b$13$!", false},
        {"$2b$14$!", true},
        {"$2b$x$!", true},
        {"$6$rounds=1000001$s$h", true},
        {"$6$rounds=$s$h", true},
        {"$6$rounds=9999999999$s$h", true},
        {"$y$jCT$s$h", true},
        {"$y$jBU$s$h", true},
        {"$y$j9T.$s$h", true},
        {"$7$DU..../....s$h", true},
        {"$7$CU..../....!$h", false},
        {"$argon2id$v=19$m=65536,t=4,p=1$!$!", false},
        {"$argon2id$v=19$m=65536,t=5,p=1$!$!", true},
        {"$argon2id$v=19$m=65537,t=1,p=1$!$!", true},
        {"$argon2i$m=1024,t=1,p=9$!$!", true},
        {"$argon2id$v=19$m=1024,t=1$!$!", true},
        {"_J9..BEmrjB7xloBb6uw", true},
        {"$sha1$40000$s$h", true},
        {"$md5,rounds=5$s$$h", true},
    };
    for (const auto &[field, over] : rows) {
        PassCheck r = pass_hash_verify(field, "pw");
        EXPECT_EQ(r.over_bound, over) << field;
        EXPECT_FALSE(r.match) << field;
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
