#include "engine/ld_sha.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class ShaTest : public ::testing::Test {
   protected:
    void SetUp() override { sha_reset_for_test(); }
    void TearDown() override { sha_reset_for_test(); }
};

// Reference digests, Base64(SHA-1(password + salt) + salt), made elsewhere.
TEST_F(ShaTest, ReferenceVectorsAndRoundTrip) {
    const std::pair<std::string, const char *> refs[] = {
        {"hunter2", "yNShksWrcVnMsyJttdqcYGvuWI4BAP5/"},
        {"", "UT4TV7UfesJjdr1c2O8yZWHL0l4BAP5/"},  // the digest of the salt alone
        {std::string(2000, 'x'), "hesVBmNpoBe6H/if6XQfDH2HOwYJCAcG"},  // first 1023 count
    };
    char out[990];
    for (const auto &[pw, ref] : refs) {
        ASSERT_EQ(raw_create_ssha(pw.c_str(), out, sizeof out, ref), 1);
        EXPECT_STREQ(out, ref) << pw.size();
    }
    for (const char *pw : {"secret", "", "pässwörd", "a b:c"}) {
        char made[990];
        ASSERT_EQ(create_ssha_base64_digest(pw, made, sizeof made), 1);
        EXPECT_EQ(strlen(made), 32u);
        EXPECT_EQ(strspn(made, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
                  32u);
        ASSERT_EQ(raw_create_ssha(pw, out, sizeof out, made), 1);
        EXPECT_STREQ(out, made);
        ASSERT_EQ(raw_create_ssha("wrong", out, sizeof out, made), 1);
        EXPECT_STRNE(out, made);
    }
    char small[10];
    ASSERT_EQ(create_ssha_base64_digest("pw", small, sizeof small), 1);
    EXPECT_EQ(strlen(small), 9u);
}

TEST_F(ShaTest, ErrorRecord) {
    EXPECT_STREQ(get_sha_error(), "");
    char out[990];
    raw_create_ssha("pw", out, sizeof out, "5GSNgVXCVU8xz52OpWZSUSVdNFZhYgBk");  // salt "ab\0d"
    std::string e = get_sha_error();
    // The salt shows up to its zero byte; the digest as grouped upper-case hex.
    EXPECT_EQ(e.rfind("details:(SSHA digesting password of (pw),SSHA salt is:(ab)SSHA Digest is:"
                      "E464",
                      0),
              0u)
        << e;
    EXPECT_NE(e.find(") error:(No Errors)"), std::string::npos);
    create_ssha_base64_digest(std::string(500, 'p').c_str(), out, sizeof out);
    EXPECT_EQ(std::string(get_sha_error()), "details:(SSHA digesting password of (" +
                                                std::string(172, 'p') + ") error:(No Errors)");
}

TEST_F(ShaTest, MalformedStoredTextNeverVerifies) {
    const std::string good = "CjWWau5x2pNTWhdvOHcfgJAmcb0FBgcI";  // "pw"
    const std::string bad[] = {
        good.substr(0, 28) + "====",  // padding
        good.substr(0, 16) + " " + good.substr(16),
        good.substr(0, 31) + "!",
        good.substr(0, 30),
        good + "AAAA",
        "",
    };
    char out[990];
    ASSERT_EQ(raw_create_ssha("pw", out, sizeof out, good.c_str()), 1);
    EXPECT_EQ(out, good);
    for (const std::string &b : bad) {
        raw_create_ssha("pw", out, sizeof out, b.c_str());
        EXPECT_NE(std::string(out), b);
    }
}

TEST(Base64, Rfc4648VectorsAndDecoderRules) {
    const char *texts[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (size_t i = 0; i < 7; i++) {
        const std::string plain = std::string("foobar").substr(0, i);
        const char *text = texts[i];
        char enc[64];
        int n = lutil_b64_ntop(reinterpret_cast<const unsigned char *>(plain.data()), i, enc,
                               sizeof enc);
        EXPECT_EQ(n, static_cast<int>(strlen(text)));
        EXPECT_STREQ(enc, text);
        unsigned char dec[64];
        int m = lutil_b64_pton(text, dec, sizeof dec);
        ASSERT_EQ(m, static_cast<int>(i)) << text;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(dec), static_cast<size_t>(m)), plain);
    }
    unsigned char dec[64];
    EXPECT_EQ(lutil_b64_pton(" Zm9v\nYmFy\t", dec, sizeof dec), 6);
    // Bad character, "=" after two characters or one, text after padding,
    // non-zero spare bits, unfinished group, full target.
    for (const char *bad : {"Zm9v!mFy", "Zg=", "Z===", "Zm8=x", "Zh==", "Zm9"})
        EXPECT_EQ(lutil_b64_pton(bad, dec, sizeof dec), -1) << bad;
    EXPECT_EQ(lutil_b64_pton("Zm9vYmFy", dec, 4), -1);
}

TEST(Base64, EncoderTooSmallTargetRecordsError) {
    char t[990];
    create_ssha_base64_digest("x", t, sizeof t);  // the record is shown once a digest was made
    const unsigned char src[] = "foobar";
    const struct {
        size_t len, size;
        const char *err;
    } rows[] = {{6, 3, "too long 1"}, {4, 6, "too long 2"}, {3, 4, "too long 3"}};
    for (const auto &r : rows) {
        EXPECT_EQ(lutil_b64_ntop(src, r.len, t, r.size), -1);
        EXPECT_NE(std::string(get_sha_error()).find(std::string("Datalength ") + r.err),
                  std::string::npos);
    }
    char d[8] = "xxxxxxx";
    EXPECT_STREQ(sha_ncpy(d, "abcdef", 3), "abc");
    EXPECT_STREQ(sha_ncpy(d, nullptr, 3), "");
    EXPECT_EQ(sha_ncpy(nullptr, "a", 3), nullptr);
}

}  // namespace
