#include <gtest/gtest.h>

#include "engine/kvsearch.h"
#include "engine_env.h"

TEST(WildMatch, Table) {
    using Cases = std::vector<std::pair<const char *, const char *>>;
    const Cases match = {
        {"*", ""},          {"*", "anything"},      {"b?b", "bob"},         {"bo*", "bob"},
        {"[a-c]*", "bert"}, {"[^a]*", "bert"},      {"\\*", "*"},           {"a\\?c", "a?c"},
        {"[]]x", "]x"},     {"[-a]", "-"},          {"[a-]", "-"},          {"[^]]", "x"},
        {"[a-cx-z]", "y"},  {"*[0-9]", "user7"},    {"*.*", "a.b"},         {"", ""},
        {"**a**", "bba"},   {"\xe9*", "\xe9t\xe9"}, {"[\xe0-\xef]", "\xe9"}};
    // An unclosed class matches nothing, a trailing escape compares the
    // terminator; bytes above 127 are negative: a range from a letter up to
    // them is empty.
    const Cases differ = {
        {"b?b", "bb"},     {"bo*", "abo"},   {"[a-c]*", "dave"}, {"[^a]*", "anna"},
        {"\\*", "x"},      {"a\\?c", "abc"}, {"[a-]", "b"},      {"[^]]", "]"},
        {"[a-cx-z]", "m"}, {"*.*", "ab"},    {"abc", "abcd"},    {"abcd", "abc"},
        {"[abc", "a"},     {"[abc", "abc"},  {"[", "["},         {"[^", "x"},
        {"[a-", "a"},      {"x\\", "x\\"},   {"", "a"},          {"[a-\xe9]", "b"}};
    for (int want : {0, 1})
        for (const auto &[wild, text] : want ? match : differ)
            EXPECT_EQ(wild_match(wild, text), want) << wild << " / " << text;
    EXPECT_EQ(wmatch("ab", "abc"), WM_ABORT);
    EXPECT_EQ(wmatch("abc", "*x"), WM_ABORT);
    EXPECT_EQ(wmatch("abc", "abd"), WM_FALSE);
}

TEST(WildMatch, HeavyBacktrackingTerminates) {
    auto rep = [](const char *s, int n) {
        std::string r;
        while (n--) r += s;
        return r;
    };
    const std::string as(4000, 'a');
    for (const std::string &p :
         {rep("*a", 40) + "*b", rep("*?", 40) + "x", rep("*[a-z]", 30) + "[0-9]"})
        EXPECT_EQ(wild_match(p.c_str(), as.c_str()), 0) << p;
    EXPECT_EQ(wild_match((rep("*a", 40) + "*b").c_str(), (as + "b").c_str()), 1);
}

using SearchTest = EngineTest;

// A substring of name or information, a pattern on names only, in bucket
// order: "a" is in bucket 0, bob and cob share a later one, the later line
// first.
TEST_F(SearchTest, MatchesInBucketOrder) {
    db("bob:*p:1\ncob:*p:2\na:*p:3\nabbot:*p:\ncarl:*p:has BOX\nbobby:*p:bo\n");
    auto search = [this](std::string pat) {
        auth_search(pat.data(), 0, 0);
        return take_replies();
    };
    auto r = search("*");
    ASSERT_EQ(r.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(r.begin(), r.begin() + 3),
              (std::vector<std::string>{"+DATA a 3\n", "+DATA cob 2\n", "+DATA bob 1\n"}));
}
