#include "lib/xlate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "support/server_fixture.h"

TEST(Xlate, HashValues) {
    EXPECT_EQ(xlate_hash("abc"), 26499);
    EXPECT_EQ(xlate_hash(""), 0);
    EXPECT_EQ(xlate_hash("\xff"), -1);
    // Only the last eight characters count.
    EXPECT_EQ(xlate_hash("zzzzabcdefgh"), xlate_hash("abcdefgh"));
    EXPECT_EQ(xlate_check_value("abc"), 19);
    EXPECT_EQ(xlate_check_value("\xff"), -1);
}

// Reference outputs of the generator with the original seeding, seed 4357.
TEST(Xlate, GeneratorMatchesReference) {
    RhandPtr r(rand_seed(4357));
    ASSERT_TRUE(r);
    const unsigned long first[] = {3510405877UL, 4290933890UL, 2191955339UL, 564929546UL,
                                   152112058UL};
    for (unsigned long want : first) EXPECT_EQ(rand_next(r.get()), want);
    unsigned long out = 0;
    for (int i = 6; i <= 624; i++) out = rand_next(r.get());
    EXPECT_EQ(out, 730882493UL);
    EXPECT_EQ(rand_next(r.get()), 2222118351UL);
    for (int i = 626; i <= 1249; i++) out = rand_next(r.get());
    EXPECT_EQ(out, 1244107692UL);

    RhandPtr z(rand_seed(0));
    for (int i = 0; i < 2000; i++) ASSERT_EQ(rand_next(z.get()), 0UL);
}

TEST(Xlate, TransformsMatchReferenceAndRoundTrip) {
    // Each keystream byte is the generator's output % 255, taken from the byte.
    RhandPtr ref(rand_seed(4357));
    char zero[5] = {};
    xlate_out(ref.get(), zero, 5);
    EXPECT_EQ(std::string(zero, 5), "\x72\x47\xb6\x05\x21");
    std::string plain;
    for (int rep = 0; rep < 5; rep++)
        for (int b = 0; b < 256; b++) plain.push_back(static_cast<char>(b));
    std::string buf = plain;
    RhandPtr enc(rand_seed(12345)), dec(rand_seed(12345)), z(rand_seed(0));
    // Cut the stream into uneven pieces: the keystream ignores boundaries.
    xlate_out(enc.get(), buf.data(), 7);
    xlate_out(enc.get(), buf.data() + 7, static_cast<int>(buf.size()) - 7);
    EXPECT_NE(buf, plain);
    xlate_in(dec.get(), buf.data(), 1000);
    xlate_in(dec.get(), buf.data() + 1000, static_cast<int>(buf.size()) - 1000);
    EXPECT_EQ(buf, plain);
    xlate_out(z.get(), buf.data(), static_cast<int>(buf.size()));  // seed 0: all zero
    EXPECT_EQ(buf, plain);
}

TEST(Xlate, SecretFile) {
    TempDir d;
    std::string f = d.file("xlate.dat");
    // Missing, without makeit: nothing and no file.
    EXPECT_STREQ(xlate_secret(f.c_str(), 0), "");
    EXPECT_TRUE(read_file(f).empty());
    // Missing, with makeit: created 0600 with one line of hex, decimal, hex.
    std::string made = xlate_secret(f.c_str(), 1);
    ASSERT_FALSE(made.empty());
    EXPECT_EQ(read_file(f), made + "\n");
    EXPECT_EQ(made.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(std::filesystem::status(f).permissions(), std::filesystem::perms(0600));
    // From the kernel's random source: never the same twice, even within one
    // second, and at least 128 bits (three 64-bit numbers, 36 digits and more).
    std::set<std::string> seen;
    for (int i = 0; i < 16; i++) {
        unlink(f.c_str());
        std::string s = xlate_secret(f.c_str(), 1);
        EXPECT_GE(s.size(), 36u) << s;
        EXPECT_TRUE(seen.insert(s).second) << s;
    }
    // CR LF and a second line are ignored.
    write_file(f, "top secret\r\nsecond\n");
    EXPECT_STREQ(xlate_secret(f.c_str(), 1), "top secret");
    // An empty first line is rewritten only with makeit, as a new file: a
    // reader that holds the old one open never sees the secret.
    write_file(f, "\nrest\n");
    EXPECT_STREQ(xlate_secret(f.c_str(), 0), "");
    FilePtr held(fopen(f.c_str(), "r"));
    ASSERT_TRUE(held);
    std::string fresh = xlate_secret(f.c_str(), 1);
    EXPECT_FALSE(fresh.empty());
    EXPECT_EQ(read_file(f), fresh + "\n");
    char old[20] = "";
    EXPECT_TRUE(fgets(old, sizeof old, held.get()) && std::string(old) == "\n");
    // A link planted in place of a missing file is replaced, not followed.
    unlink(f.c_str());
    ASSERT_EQ(symlink(d.file("victim").c_str(), f.c_str()), 0);
    EXPECT_FALSE(std::string(xlate_secret(f.c_str(), 1)).empty());
    EXPECT_NE(access(d.file("victim").c_str(), F_OK), 0);
    // What can't be read or created gives nothing, and says why.
    std::string bad[][2] = {{d.path(), "Is a directory"},
                            {d.file("no/such/dir/x"), "No such file or directory"},
                            {f + "/x", "Not a directory"}};
    for (auto &b : bad) {
        EXPECT_STREQ(xlate_secret(b[0].c_str(), 1), "");
        EXPECT_EQ(xlate_secret_error(), "(" + b[0] + ") " + b[1]);
    }
}
