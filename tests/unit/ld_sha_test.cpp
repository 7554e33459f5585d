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

// Reference digests, Base64(SHA-1(password + salt) + salt), made elsewhere;
// stored texts that are no digest never verify.
TEST_F(ShaTest, ReferenceVectorsRoundTripAndMalformedText) {
    const std::string good = "CjWWau5x2pNTWhdvOHcfgJAmcb0FBgcI";  // "pw"
    const std::pair<std::string, std::string> refs[] = {
        {"hunter2", "yNShksWrcVnMsyJttdqcYGvuWI4BAP5/"},
        {"", "UT4TV7UfesJjdr1c2O8yZWHL0l4BAP5/"},  // the digest of the salt alone
        {std::string(2000, 'x'), "hesVBmNpoBe6H/if6XQfDH2HOwYJCAcG"},  // first 1023 count
        {"pw", good}};
    char out[990];
    for (const auto &[pw, ref] : refs) {
        ASSERT_EQ(raw_create_ssha(pw.c_str(), out, sizeof out, ref.c_str()), 1);
        EXPECT_EQ(out, ref) << pw.size();
    }
    for (const std::string &bad :
         {good.substr(0, 28) + "====", good.substr(0, 16) + " " + good.substr(16),
          good.substr(0, 31) + "!", good.substr(0, 30), good + "AAAA", std::string()}) {
        raw_create_ssha("pw", out, sizeof out, bad.c_str());
        EXPECT_NE(out, bad);
    }
    for (const char *pw : {"secret", "pässwörd"}) {
        char made[990];
        ASSERT_EQ(create_ssha_base64_digest(pw, made, sizeof made), 1);
        EXPECT_EQ(strspn(made, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
                  32u);
        ASSERT_EQ(raw_create_ssha(pw, out, sizeof out, made), 1);
        EXPECT_STREQ(out, made);
        // A fresh salt each time: the same password never gives the same text.
        ASSERT_EQ(create_ssha_base64_digest(pw, out, sizeof out), 1);
        EXPECT_STRNE(out, made);
    }
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
    const unsigned char src[] = "foobar";  // targets too small for 6, 4 and 3 bytes
    for (auto [len, size] : {std::pair<size_t, size_t>{6, 3}, {4, 6}, {3, 4}})
        EXPECT_EQ(lutil_b64_ntop(src, len, out, size), -1) << len;
    EXPECT_NE(std::string(get_sha_error()).find("Datalength too long 3"), std::string::npos);
}

TEST(Base64, Rfc4648VectorsAndDecoderRules) {
    const char *texts[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    unsigned char dec[64];
    for (size_t i = 0; i < 7; i++) {
        const std::string plain = std::string("foobar").substr(0, i);
        char enc[64];
        EXPECT_EQ(lutil_b64_ntop(reinterpret_cast<const unsigned char *>(plain.data()), i, enc,
                                 sizeof enc),
                  static_cast<int>(strlen(texts[i])));
        EXPECT_STREQ(enc, texts[i]);
        int m = lutil_b64_pton(texts[i], dec, sizeof dec);
        ASSERT_EQ(m, static_cast<int>(i)) << texts[i];
        EXPECT_EQ(std::string(reinterpret_cast<char *>(dec), static_cast<size_t>(m)), plain);
    }
    EXPECT_EQ(lutil_b64_pton(" Zm9v\nYmFy\t", dec, sizeof dec), 6);
    // Bad character, "=" after two characters or one, text after padding,
    // non-zero spare bits, unfinished group, full target.
    for (const char *bad : {"Zm9v!mFy", "Zg=", "Z===", "Zm8=x", "Zh==", "Zm9"})
        EXPECT_EQ(lutil_b64_pton(bad, dec, sizeof dec), -1) << bad;
    EXPECT_EQ(lutil_b64_pton("Zm9vYmFy", dec, 4), -1);
}

}  // namespace
