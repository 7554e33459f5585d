#include "client/zvcli.h"
#include "client/zvcli_checkpassword.h"
#include "client/zvcli_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/server_fixture.h"

using Args = std::vector<std::string>;
using S = std::string;

TEST(Zvcli, ArgsAndConf) {
    struct Good {
        Args args;
        ZvcliMode mode;
        Args rest;
    };
    const Good good[] = {
        {{"-port", "700", "set", "bob", "-x"}, ZVCLI_COMMAND, {"set", "bob", "-x"}},
        {{"--", "-odd"}, ZVCLI_COMMAND, {"-odd"}},
        {{"-checkpassword", "prog", "-a", "b"}, ZVCLI_CHECKPASSWORD, {"prog", "-a", "b"}},
        {{"-h", "-bogus"}, ZVCLI_HELP, {}}};
    ZvcliOptions o;
    std::string err;
    for (const auto &[args, mode, rest] : good) {
        o = {};
        EXPECT_EQ(zvcli_parse_args(args, &o, &err), 1) << args.size() << err;
        EXPECT_EQ(std::tie(o.mode, o.args), std::tie(mode, rest)) << args.size();
    }
    const Args bad[] = {{"-checkpassword"}, {"-", "check"},     {"-bogus"},       {"-port"},
                        {"-port", "0"},     {"-port", "65536"}, {"-port", "80x"}, {"-timeout", "0"},
                        {"-window", "257"}, {"-secret", ""},    {"-host", ""}};
    for (const Args &args : bad) EXPECT_EQ(zvcli_parse_args(args, &o, &err), 0) << args[0];
    ASSERT_EQ(
        zvcli_parse_args({"-host", "mail.example", "-port", "700", "-nocheck", "x"}, &o, &err), 1);
    EXPECT_EQ(std::tie(o.host, o.port, o.check), std::make_tuple("mail.example", 700, false));

    // The server's file: two spaces before a value are skipped, the first
    // definition wins, the command line wins over the file, and an unusable
    // port gives the default.
    TempDir d;
    o = {};
    o.conf = d.file("c");
    EXPECT_EQ(zvcli_settings(&o, &err), 0);
    EXPECT_NE(err.find(o.conf), std::string::npos);
    const std::tuple<const char *, const char *, int, const char *> rows[] = {
        {"# port 1\n  port  700\nport 800\nsecret_file /x/y z \t# c\nsecret_file /o\n", "", 700,
         "/x/y z "},
        {"port\nsecret_file\t\t/tabbed\r\n", "", ZVCLI_DEFAULT_PORT, "/tabbed"},
        {"port 99999\nsecret_file /f\n", "/mine", ZVCLI_DEFAULT_PORT, "/mine"}};
    for (const auto &[text, secret, port, want] : rows) {
        write_file(o.conf, text);
        o.port = 0;
        o.secret_file = secret;
        ASSERT_EQ(zvcli_settings(&o, &err), 1);
        EXPECT_EQ(std::tie(o.port, o.secret_file), std::make_tuple(port, want));
    }
    std::string s;
    EXPECT_EQ(zvcli_load_secret(d.file("none"), &s, &err), 0);
    write_file(d.file("empty"), "\nsecond\n");
    EXPECT_EQ(zvcli_load_secret(d.file("empty"), &s, &err), 0);
    write_file(d.file("ok"), "abc123\r\nsecond\n");
    ASSERT_EQ(zvcli_load_secret(d.file("ok"), &s, &err), 1);
    EXPECT_EQ(s, "abc123");
}

TEST(Zvcli, RepliesAndCommands) {
    const std::pair<ZvcliReply, std::vector<const char *>> kinds[] = {
        {ZVCLI_REPLY_OK, {"+OK alice config 0 ", "+OK"}},
        {ZVCLI_REPLY_REFUSED,
         {"-ERR alice", "+ERR Sorry you must use encrypted mode", "-DEAD Could not (x) (y)"}},
        {ZVCLI_REPLY_DATA, {"+DATA bob ", "+ENCRYPT 5 zv Encryption enabled", "", "+ok", " +OK"}}};
    for (const auto &[want, texts] : kinds)
        for (const char *text : texts) EXPECT_EQ(zvcli_classify(text), want) << text;
    const std::pair<const char *, bool> starts[] = {
        {"", true},           {"12", true},           {"12 +OK", true},  {"-1 +OK", true},
        {"-", true},          {"12345678901", false}, {"x1 +OK", false}, {" 12", false},
        {"1\xe3 +OK", false}, {"- +OK", false},       {"+OK", false},    {"1234567890 a", true}};
    for (const auto &[text, want] : starts) EXPECT_EQ(zvcli_reply_start_ok(text), want) << text;

    EXPECT_EQ(zvcli_command_word("  CHECK alice pw"), "check");
    EXPECT_EQ(zvcli_command_word("exit\tnow"), "exit\tnow");  // a tab is no separator
    // "<id> <command>" may be 990 characters and no more.
    const std::tuple<S, int, bool> lines[] = {
        {"check alice pw", 1, false},  {"check a\nb", 1, true},    {"check a\rb", 1, true},
        {S("check a\0b", 9), 1, true}, {"Encrypt x", 1, true},     {S(988, 'x'), 1, false},
        {S(989, 'x'), 1, true},        {S(985, 'x'), 1234, false}, {S(986, 'x'), 1234, true}};
    for (const auto &[cmd, id, bad] : lines)
        EXPECT_EQ(zvcli_command_problem(cmd, id) != "", bad) << cmd.size() << " " << cmd;
    // Names and passwords from the command line go out whole or not at all.
    const Args refused[] = {{"set", "d", "p w"}, {"CHECK", "d v", "p"}, {"check", "d", "p\x7f"},
                            {"lookup", "a\tb"},  {"del", ""},           {"set", "", "p"}};
    const Args passed[] = {
        {"set", "d", "p", "q=\"1 0\""}, {"mod", "d", "(NULL)", "x=\"a b\""}, {"search", "a b"}};
    for (const Args &args : refused) EXPECT_NE(zvcli_args_problem(args), "") << args[1];
    for (const Args &args : passed) EXPECT_EQ(zvcli_args_problem(args), "") << args[1];
}

TEST(Zvcli, CheckpasswordParts) {
    // user|password|timestamp; "\000" ends the password before "123".
    const std::pair<S, const char *> inputs[] = {{S("a\0p\000123\0", 9), "a|p|123"},
                                                 {S("a\0p\0cut", 8), "a|p|cut"},
                                                 {S("\0\0", 2), "||"},
                                                 {S("a\0p", 3), "bad"},
                                                 {"", "bad"}};
    for (const auto &[data, want] : inputs) {
        std::string u, p, t;
        EXPECT_EQ(zvcli_cp_parse(data, &u, &p, &t) ? u + "|" + p + "|" + t : "bad", want) << data;
    }
    const std::pair<const char *, const char *> homes[] = {{"q=\"1\" home=\"/h c\" x=\"\"", "/h c"},
                                                           {"xhome=\"/n\" home=\"/y\"", "/y"},
                                                           {"xhome=\"/n\"", "none"},
                                                           {"home=\"/unterminated", "none"},
                                                           {"home=/bare", "none"},
                                                           {"home=\"\"", ""}};
    for (const auto &[info, want] : homes) {
        std::string h;
        EXPECT_EQ(zvcli_info_home(info, &h) ? h : "none", want) << info;
    }
    // The mail server's TCPREMOTEIP goes along when it is an address.
    const std::pair<const char *, const char *> remotes[] = {{"192.0.2.1", " from=192.0.2.1"},
                                                             {"2001:db8::1", " from=2001:db8::1"},
                                                             {"", ""},
                                                             {"host.example", ""},
                                                             {"192.0.2.1 x", ""}};
    for (const auto &[remote, want] : remotes)
        EXPECT_EQ(zvcli_check_line("u", "p", remote), std::string("check u p") + want) << remote;
    EXPECT_EQ(zvcli_exec_candidates("./prog", ""), Args{"./prog"});
    EXPECT_EQ(zvcli_exec_candidates("sh", "/a::/b"), (Args{"/a/sh", "./sh", "/b/sh"}));
}
