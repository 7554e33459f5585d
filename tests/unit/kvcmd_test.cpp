#include "engine/kvcmd.h"

#include <gtest/gtest.h>

#include <climits>

TEST(KvCmdSplit, Table) {
    struct Case {
        std::string line, cmd, p1, p2, p3;
    };
    const Case cases[] = {{"", "nocommand", "", "", ""},
                          {"  \r\n ", "nocommand", "", "", ""},
                          {"CHECK Bob Secret", "check", "Bob", "Secret", ""},
                          {"  lookup   bob  ", "lookup", "bob", "", ""},
                          {"set bob pw a=\"1\" b=\"2\"", "set", "bob", "pw", "a=\"1\" b=\"2\""},
                          {"set bob pw   x=1  ", "set", "bob", "pw", "  x=1  "},
                          {"set bob pw\r\nx=1\ry", "set", "bob", "pw", "x=1"},
                          {"set bob pw\n", "set", "bob", "pw", ""},
                          {"look\tbob", "look\tbob", "", "", ""},
                          {"Search X -FROM 3", "search", "X", "-FROM", "3"},
                          {"mod Bob\t1 pw c=\"d\"", "mod", "Bob\t1", "pw", "c=\"d\""},
                          {"ÄBC x", "Äbc", "x", "", ""},
                          {"\r\nhelp", "help", "", "", ""}};
    for (const auto &c : cases) {
        CmdLine out;
        cmd_split(c.line.c_str(), &out);
        EXPECT_EQ(out.cmd, c.cmd) << c.line;
        EXPECT_EQ(out.p1, c.p1) << c.line;
        EXPECT_EQ(out.p2, c.p2) << c.line;
        EXPECT_EQ(out.p3, c.p3) << c.line;
    }
    std::string big(1500, 'a');  // fields are cut at 999
    CmdLine out;
    cmd_split(("X" + big + " " + big + " " + big + " " + big + "\n").c_str(), &out);
    EXPECT_EQ(std::string(out.cmd), "x" + std::string(998, 'a'));
    EXPECT_EQ(std::string(out.p1), std::string(999, 'a'));
    EXPECT_EQ(std::string(out.p2), std::string(999, 'a'));
    EXPECT_EQ(std::string(out.p3), std::string(999, 'a'));
}

TEST(KvCmdSearchOptions, Table) {
    struct Case {
        const char *p2, *p3;
        int from, max;
    };
    const Case cases[] = {{"", "", 0, 0},
                          {"-max", "5", 0, 5},
                          {"-from", "3", 3, 0},
                          {"-from", "10 -max 5", 10, 5},
                          {"-max", "5 -from 3", 3, 5},
                          {"-from10", "20", 0, 0},     // glued keyword is not one in p2
                          {"x", "-from10 20", 20, 0},  // ... and takes the next word in p3
                          {"x", "-max", 0, 0},         // keyword at the end of the text
                          {"-from", "abc", 0, 0},
                          {"-from", "  -7", -7, 0},
                          {"-FROM", "3", 0, 0},  // case matters
                          {"-max", "99999999999", 0, INT_MAX},
                          {"-from", "1 -from 2 -max\t4", 2, 4}};
    for (const auto &c : cases) {
        int from = -99, max = -99;
        search_options(c.p2, c.p3, &from, &max);
        EXPECT_EQ(std::tie(from, max), std::tie(c.from, c.max)) << c.p2 << " | " << c.p3;
    }
}

TEST(KvCmdAtoi, Table) {
    const std::vector<std::pair<const char *, int>> cases = {{"", 0},
                                                             {"12", 12},
                                                             {" \t\n+7x", 7},
                                                             {"-15 3", -15},
                                                             {"- 3", 0},
                                                             {"abc", 0},
                                                             {"2147483647", INT_MAX},
                                                             {"2147483648", INT_MAX},
                                                             {"-2147483648", INT_MIN},
                                                             {"-99999999999999999999", INT_MIN}};
    for (const auto &[text, v] : cases) EXPECT_EQ(cmd_atoi(text), v) << text;
}
