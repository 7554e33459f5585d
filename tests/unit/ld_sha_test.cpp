#include <gtest/gtest.h>

#include <cstring>
#include <openssl/sha.h>
#include <string>

#include "engine/ld_sha.h"
#include "engine_env.h"

namespace {

class ShaTest : public ::testing::Test {
   protected:
    void SetUp() override { sha_reset_for_test(); }
    void TearDown() override { sha_reset_for_test(); }
};

bool all_b64(const char *s) {
    for (; *s; s++)
        if (!isalnum(static_cast<unsigned char>(*s)) && *s != '+' && *s != '/') return false;
    return true;
}

TEST_F(ShaTest, RoundTripReproducesText) {
    for (const char *pw : {"secret", "", "pässwörd", "a b:c"}) {
        char made[990], again[990];
        ASSERT_EQ(create_ssha_base64_digest(pw, made, sizeof made), 1);
        EXPECT_EQ(strlen(made), 32u);
        EXPECT_TRUE(all_b64(made)) << made;
        ASSERT_EQ(raw_create_ssha(pw, again, sizeof again, made), 1);
        EXPECT_STREQ(again, made);
        ASSERT_EQ(raw_create_ssha("wrong", again, sizeof again, made), 1);
        EXPECT_STRNE(again, made);
    }
}

TEST_F(ShaTest, MatchesIndependentComputation) {
    const unsigned char salt[4] = {0x01, 0x00, 0xfe, 0x7f};
    std::string ref = ssha_of("hunter2", salt);
    char out[990];
    ASSERT_EQ(raw_create_ssha("hunter2", out, sizeof out, ref.c_str()), 1);
    EXPECT_EQ(std::string(out), ref);
    // The empty password is the digest of the salt alone.
    std::string empty = ssha_of("", salt);
    ASSERT_EQ(raw_create_ssha("", out, sizeof out, empty.c_str()), 1);
    EXPECT_EQ(std::string(out), empty);
}

TEST_F(ShaTest, LongPasswordUsesFirst1023) {
    const unsigned char salt[4] = {9, 8, 7, 6};
    std::string longpw(2000, 'x');
    std::string ref = ssha_of(longpw.substr(0, 1023), salt);
    char out[990];
    raw_create_ssha(longpw.c_str(), out, sizeof out, ref.c_str());
    EXPECT_EQ(std::string(out), ref);
}

TEST_F(ShaTest, ErrorRecordAfterSuccess) {
    EXPECT_STREQ(get_sha_error(), "");
    const unsigned char salt[4] = {'a', 'b', 0, 'd'};
    std::string ref = ssha_of("pw", salt);
    char out[990];
    raw_create_ssha("pw", out, sizeof out, ref.c_str());
    std::string e = get_sha_error();
    // The salt shows up to its zero byte; the digest as grouped upper-case hex.
    EXPECT_EQ(
        e.rfind("details:(SSHA digesting password of (pw),SSHA salt is:(ab)SSHA Digest is:", 0), 0u)
        << e;
    EXPECT_NE(e.find(") error:(No Errors)"), std::string::npos);
    unsigned char v[20];
    std::string msg = std::string("pw") + std::string(reinterpret_cast<const char *>(salt), 4);
    SHA1(reinterpret_cast<const unsigned char *>(msg.data()), msg.size(), v);
    char hex[8];
    snprintf(hex, sizeof hex, "%02X%02X", v[0], v[1]);
    EXPECT_NE(e.find(std::string("Digest is:") + hex), std::string::npos);
}

TEST_F(ShaTest, ErrorRecordCutsDetailsTo200) {
    std::string pw(500, 'p');
    char out[990];
    create_ssha_base64_digest(pw.c_str(), out, sizeof out);
    std::string e = get_sha_error();
    EXPECT_EQ(e, "details:(" + std::string("SSHA digesting password of (") + std::string(172, 'p') +
                     ") error:(No Errors)");
}

TEST_F(ShaTest, SmallResultBufferIsCut) {
    char out[10];
    ASSERT_EQ(create_ssha_base64_digest("pw", out, sizeof out), 1);
    EXPECT_EQ(strlen(out), 9u);
}

TEST_F(ShaTest, MalformedStoredTextNeverVerifies) {
    const unsigned char salt[4] = {5, 6, 7, 8};
    std::string good = ssha_of("pw", salt);
    const std::string bad[] = {
        good.substr(0, 28) + "====",  // padding
        good.substr(0, 16) + " " + good.substr(16),
        good.substr(0, 31) + "!",
        good.substr(0, 30),
        good + "AAAA",
        "",
    };
    for (const std::string &b : bad) {
        char out[990];
        raw_create_ssha("pw", out, sizeof out, b.c_str());
        EXPECT_NE(std::string(out), b);
    }
}

struct B64Case {
    const char *plain;
    const char *text;
};

TEST(Base64, Rfc4648Vectors) {
    const B64Case cases[] = {{"", ""},
                             {"f", "Zg=="},
                             {"fo", "Zm8="},
                             {"foo", "Zm9v"},
                             {"foob", "Zm9vYg=="},
                             {"fooba", "Zm9vYmE="},
                             {"foobar", "Zm9vYmFy"}};
    for (const B64Case &c : cases) {
        char enc[64];
        int n = lutil_b64_ntop(reinterpret_cast<const unsigned char *>(c.plain), strlen(c.plain),
                               enc, sizeof enc);
        EXPECT_EQ(n, static_cast<int>(strlen(c.text)));
        EXPECT_STREQ(enc, c.text);
        unsigned char dec[64];
        int m = lutil_b64_pton(c.text, dec, sizeof dec);
        ASSERT_EQ(m, static_cast<int>(strlen(c.plain))) << c.text;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(dec), static_cast<size_t>(m)), c.plain);
    }
}

TEST(Base64, DecoderRules) {
    unsigned char dec[64];
    EXPECT_EQ(lutil_b64_pton(" Zm9v\nYmFy\t", dec, sizeof dec), 6);
    EXPECT_EQ(lutil_b64_pton("Zm9v!mFy", dec, sizeof dec), -1);
    EXPECT_EQ(lutil_b64_pton("Zg=", dec, sizeof dec), -1);    // one "=" after two characters
    EXPECT_EQ(lutil_b64_pton("Z===", dec, sizeof dec), -1);   // padding after one character
    EXPECT_EQ(lutil_b64_pton("Zm8=x", dec, sizeof dec), -1);  // text after padding
    EXPECT_EQ(lutil_b64_pton("Zh==", dec, sizeof dec), -1);   // non-zero spare bits
    EXPECT_EQ(lutil_b64_pton("Zm9", dec, sizeof dec), -1);    // unfinished group
    EXPECT_EQ(lutil_b64_pton("Zm9vYmFy", dec, 4), -1);        // full target
}

TEST(Base64, EncoderTooSmallTargetRecordsError) {
    char t[990];
    create_ssha_base64_digest("x", t, sizeof t);  // the record is shown once a digest was made
    const unsigned char src[] = "foobar";
    EXPECT_EQ(lutil_b64_ntop(src, 6, t, 3), -1);
    EXPECT_NE(std::string(get_sha_error()).find("Datalength too long 1"), std::string::npos);
    EXPECT_EQ(lutil_b64_ntop(src, 4, t, 6), -1);
    EXPECT_NE(std::string(get_sha_error()).find("Datalength too long 2"), std::string::npos);
    EXPECT_EQ(lutil_b64_ntop(src, 3, t, 4), -1);
    EXPECT_NE(std::string(get_sha_error()).find("Datalength too long 3"), std::string::npos);
}

TEST(ShaNcpy, Bounds) {
    char d[8] = "xxxxxxx";
    EXPECT_STREQ(sha_ncpy(d, "abcdef", 3), "abc");
    EXPECT_STREQ(sha_ncpy(d, nullptr, 3), "");
    EXPECT_EQ(sha_ncpy(nullptr, "a", 3), nullptr);
}

}  // namespace
