#include "engine/kvcmd.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "engine_env.h"

namespace {

TEST(KvCmdSplit, Table) {
    struct Case {
        std::string line, cmd, p1, p2, p3;
    };
    const Case cases[] = {
        {"", "nocommand", "", "", ""},
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
        {"\r\nhelp", "help", "", "", ""},
    };
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
    const Case cases[] = {
        {"", "", 0, 0},
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
        {"-from", "1 -from 2 -max\t4", 2, 4},
    };
    for (const auto &c : cases) {
        int from = -99, max = -99;
        search_options(c.p2, c.p3, &from, &max);
        EXPECT_EQ(from, c.from) << c.p2 << " | " << c.p3;
        EXPECT_EQ(max, c.max) << c.p2 << " | " << c.p3;
    }
}

TEST(KvCmdAtoi, Table) {
    struct Case {
        const char *s;
        int v;
    };
    const Case cases[] = {{"", 0},
                          {"12", 12},
                          {" \t\n+7x", 7},
                          {"-15 3", -15},
                          {"- 3", 0},
                          {"abc", 0},
                          {"2147483647", INT_MAX},
                          {"2147483648", INT_MAX},
                          {"-2147483648", INT_MIN},
                          {"-99999999999999999999", INT_MIN}};
    for (const auto &c : cases) EXPECT_EQ(cmd_atoi(c.s), c.v) << c.s;
}

using KvCmdTest = EngineTest;

TEST_F(KvCmdTest, HelpInvalidCommandsAndSearchOptions) {
    const std::vector<std::string> want = {
        "+DATA Valid commands\n",
        "+DATA \tlookup username\n",
        "+DATA \tcheck username password\n",
        "+DATA \tset username password|(NULL) [var=\"val\" ...]\n",
        "+DATA \tmod username pass|(NULL) var=\"val\"\n",
        "+DATA \tsearch string\n",
        "+DATA \tdel username\n",
        "+DATA \texit\n",
        "+DATA \t(use -help command line option for extended help information)\n",
        "+OK \n"};
    EXPECT_EQ(run("help"), want);
    EXPECT_EQ(run("Help me"), want);
    const char *cases[][2] = {{"", "nocommand"},          {"   ", "nocommand"},
                              {"FROB x y", "frob"},       {"lookup\tbob", "lookup\tbob"},
                              {"nocommand", "nocommand"}, {"checks a b", "checks"}};
    for (const auto &c : cases)
        EXPECT_EQ(one(c[0]), std::string("-ERR Invalid command (") + c[1] + ") use help\n") << c[0];
    for (int i = 0; i < 10; i++) run("set x" + std::to_string(i) + " *p");
    EXPECT_EQ(run("search x").back(), "+OK Search Complete 10 items found out of 10\n");
    auto r = run("search X -from 3 -max 2");
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[2], "+OK Search Complete 5 items found out of 10\n");
    r = run("search x -max 2 -from 9");
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[2], "+OK Search Complete 10 items found out of 10\n");
    EXPECT_EQ(run("search"),
              std::vector<std::string>{"+OK Search Complete 0 items found out of 10\n"});
}

}  // namespace
