#include "engine/kvcmd.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "engine/kvprint.h"

TEST(KvCmdSplit, Table) {
    const std::string big(1500, 'a');  // fields are cut at 999
    const std::vector<std::vector<std::string>> cases = {
        {"", "nocommand", "", "", ""},
        {"CHECK Bob Secret", "check", "Bob", "Secret", ""},
        {"set bob pw   x=1  ", "set", "bob", "pw", "  x=1  "},
        {"set bob pw\r\nx=1\ry", "set", "bob", "pw", "x=1"},
        {"look\tbob", "look\tbob", "", "", ""},
        {"mod Bob\t1 pw c=\"d\"", "mod", "Bob\t1", "pw", "c=\"d\""},
        {"ÄBC x", "Äbc", "x", "", ""},
        {"\r\nhelp", "help", "", "", ""},
        {"X" + big + " " + big + " " + big + " " + big + "\n", "x" + big.substr(0, 998),
         big.substr(0, 999), big.substr(0, 999), big.substr(0, 999)}};
    for (const auto &c : cases) {
        CmdLine out;
        cmd_split(c[0].c_str(), &out);
        EXPECT_EQ((std::vector<std::string>{c[0], out.cmd, out.p1, out.p2, out.p3}), c);
    }
}

TEST(KvCmdSearchOptions, Table) {
    struct Case {
        const char *p2, *p3;
        int from, max;
    };
    const Case cases[] = {{"", "", 0, 0},
                          {"-from", "10 -max 5", 10, 5},
                          {"-max", "5 -from 3", 3, 5},
                          {"-from10", "20", 0, 0},     // glued keyword is not one in p2
                          {"x", "-from10 20", 20, 0},  // ... and takes the next word in p3
                          {"x", "-max", 0, 0},         // keyword at the end of the text
                          {"-from", "  -7", -7, 0},
                          {"-FROM", "3", 0, 0},  // case matters
                          {"-max", "99999999999", 0, INT_MAX},
                          {"-from", "1 -from 2 -max\t4", 2, 4}};
    for (const auto &c : cases) {
        int from = -99, max = -99;
        search_options(c.p2, c.p3, &from, &max);
        EXPECT_EQ(std::tie(from, max), std::tie(c.from, c.max)) << c.p2 << " | " << c.p3;
    }
    const std::pair<const char *, int> atoi[] = {{"", 0},
                                                 {" \t\n+7x", 7},
                                                 {"-15 3", -15},
                                                 {"- 3", 0},
                                                 {"abc", 0},
                                                 {"2147483648", INT_MAX},
                                                 {"-2147483648", INT_MIN},
                                                 {"-99999999999999999999", INT_MIN}};
    for (const auto &[text, v] : atoi) EXPECT_EQ(cmd_atoi(text), v) << text;
}

static std::vector<std::string> seen;

// Without a callback texts collect; a callback gets each text, cut at 3999,
// and the result is the length the callback left.
TEST(KvPrint, CallbackOrCollection) {
    EXPECT_EQ(buf_print("+OK a\n"), 0);
    EXPECT_EQ(buf_print("+OK b\n"), 6);
    EXPECT_STREQ(buf_text(), "+OK a\n+OK b\n");
    buf_clear();
    seen.clear();
    kvauth_setprint([](char *s) { seen.push_back(s); });
    EXPECT_EQ(buf_print("+DATA %d\n", 1), 8);
    EXPECT_EQ(buf_print("%s", std::string(5000, 'z').c_str()), 3999);
    EXPECT_EQ(seen, (std::vector<std::string>{"+DATA 1\n", std::string(3999, 'z')}));
    EXPECT_STREQ(buf_text(), "");
    kvauth_setprint([](char *s) { s[2] = 0; });
    EXPECT_EQ(buf_print("+OK long text\n"), 2);
    kvauth_setprint(nullptr);
}
