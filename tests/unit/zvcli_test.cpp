#include "client/zvcli.h"
#include "client/zvcli_checkpassword.h"
#include "client/zvcli_run.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "lib/xlate.h"
#include "net/tcplib.h"
#include "support/server_fixture.h"

using Args = std::vector<std::string>;

TEST(Zvcli, ArgsAndConf) {
    struct Good {
        Args args;
        ZvcliMode mode;
        Args rest;
    };
    const Good good[] = {
        {{}, ZVCLI_BATCH, {}},
        {{"-port", "700", "set", "bob", "-x"}, ZVCLI_COMMAND, {"set", "bob", "-x"}},
        {{"--", "-odd"}, ZVCLI_COMMAND, {"-odd"}},
        {{"-checkpassword", "prog", "-a", "b"}, ZVCLI_CHECKPASSWORD, {"prog", "-a", "b"}},
        {{"-h", "-bogus"}, ZVCLI_HELP, {}},
        {{"-version"}, ZVCLI_VERSION, {}}};
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
        zvcli_parse_args({"-host", "mail.example", "-port", "700", "-secret", "/s", "-conf", "/c",
                          "-timeout", "3", "-window", "7", "-nocheck", "-y", "-raw", "version"},
                         &o, &err),
        1);
    EXPECT_EQ(std::tie(o.host, o.port, o.secret_file, o.conf, o.timeout_s, o.window, o.check, o.yes,
                       o.raw),
              std::make_tuple("mail.example", 700, "/s", "/c", 3, 7, false, true, true));

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
    const std::tuple<std::string, int, bool> lines[] = {{"check alice pw", 1, false},
                                                        {"check a\nb", 1, true},
                                                        {"check a\rb", 1, true},
                                                        {std::string("check a\0b", 9), 1, true},
                                                        {"Encrypt x", 1, true},
                                                        {std::string(988, 'x'), 1, false},
                                                        {std::string(989, 'x'), 1, true},
                                                        {std::string(985, 'x'), 1234, false},
                                                        {std::string(986, 'x'), 1234, true}};
    for (const auto &[cmd, id, bad] : lines)
        EXPECT_EQ(zvcli_command_problem(cmd, id) != "", bad) << cmd.size() << " " << cmd;
    // Names and passwords from the command line go out whole or not at all.
    const std::pair<Args, bool> words[] = {{{"set", "dave", "pw", "quota=\"1 0\""}, false},
                                           {{"set", "dave", "p w"}, true},
                                           {{"CHECK", "da ve", "pw"}, true},
                                           {{"check", "dave", "p\x7f"}, true},
                                           {{"lookup", "a\tb"}, true},
                                           {{"del", ""}, true},
                                           {{"mod", "dave", "(NULL)", "x=\"a b\""}, false},
                                           {{"search", "a b"}, false}};
    for (const auto &[args, bad] : words) EXPECT_EQ(zvcli_args_problem(args) != "", bad) << args[1];
}

TEST(Zvcli, CheckpasswordParts) {
    // user, password, timestamp; "\000" ends the password before "123".
    const std::tuple<std::string, bool, const char *, const char *, const char *> inputs[] = {
        {std::string("alice\0pw\000123\0", 13), true, "alice", "pw", "123"},
        {std::string("alice\0pw\0", 9), true, "alice", "pw", ""},
        {std::string("alice\0pw\0cut", 12), true, "alice", "pw", "cut"},
        {std::string("\0\0", 2), true, "", "", ""},
        {std::string("alice\0pw", 8), false, "", "", ""},
        {"", false, "", "", ""}};
    for (const auto &[data, ok, user, pass, stamp] : inputs) {
        std::string u, p, t;
        EXPECT_EQ(zvcli_cp_parse(data, &u, &p, &t), ok) << data;
        EXPECT_TRUE(!ok || std::tie(u, p, t) == std::make_tuple(user, pass, stamp)) << data;
    }
    const std::tuple<const char *, bool, const char *> homes[] = {
        {"quota=\"10\" home=\"/h/b c\" x=\"1\"", true, "/h/b c"},
        {"xhome=\"/no\" home=\"/yes\"", true, "/yes"},
        {"xhome=\"/no\"", false, ""},
        {"home=\"unterminated", false, ""},
        {"home=/bare", false, ""},
        {"home=\"\"", true, ""}};
    for (const auto &[info, ok, want] : homes) {
        std::string h;
        EXPECT_EQ(zvcli_info_home(info, &h), ok) << info;
        EXPECT_EQ(ok ? h : "", want);
    }
    EXPECT_EQ(zvcli_check_info("+OK alice config 0 q=\"1\" home=\"/h\""), "q=\"1\" home=\"/h\"");
    EXPECT_EQ(zvcli_check_info("+OK alice"), "");
    EXPECT_EQ(zvcli_exec_candidates("./prog", ""), Args{"./prog"});
    EXPECT_EQ(zvcli_exec_candidates("sh", "/a::/b"), (Args{"/a/sh", "./sh", "/b/sh"}));
}

namespace {
std::string slurp(FILE *f) {
    std::string s;
    rewind(f);
    for (int ch; (ch = fgetc(f)) != EOF;) s += static_cast<char>(ch);
    fclose(f);
    return s;
}
}  // namespace

// Against a stand-in server, for what a real one never shows: it answers
// once `batch` requests wait, last first, a data line before each end line
// ("bad" requests refused), enciphered with send_secret. A window of two
// never lets it see three; testcrypt is refused in a batch, asked for alone.
TEST(Zvcli, RunAgainstStandIn) {
    struct Case {
        size_t batch;
        std::string input;
        Args args;
        const char *send_secret;
        int status;
        std::string out, err;
    };
    const std::string ab = "+DATA for a\n+OK a\n+DATA for b\n+OK b\n",
                      tc = "+DATA for testcrypt\n+OK testcrypt\n";
    const Case cases[] = {
        {4,
         "a\nb\n# skipped\n\nbad c\nd\n",
         {},
         "s3cret",
         ZVCLI_EXIT_REFUSED,
         ab + "+DATA for bad c\n-ERR no bad c\n+DATA for d\n+OK d\n",
         ""},
        {2,
         "a\nb\nc\nd",
         {"-raw", "-window", "2"},
         "s3cret",
         ZVCLI_EXIT_OK,
         "1 +DATA for a\n1 +OK a\n2 +DATA for b\n2 +OK b\n3 +DATA for c\n3 +OK c\n"
         "4 +DATA for d\n4 +OK d\n",
         ""},
        {3,
         "a\nb\nc\nd\n",
         {"-window", "2", "-timeout", "1"},
         "s3cret",
         ZVCLI_EXIT_FAIL,
         "",
         "2 requests unanswered"},
        {1, "x\n", {"-timeout", "60"}, "other", ZVCLI_EXIT_FAIL, "", "shared secret differs"},
        {1,
         "a\nencrypt x\n" + std::string(1000, 'y') + "\nb\n",
         {},
         "s3cret",
         ZVCLI_EXIT_REFUSED,
         ab,
         "line 3:"},
        {1, "testcrypt\n", {}, "s3cret", ZVCLI_EXIT_REFUSED, "", "line 1: testcrypt creates"},
        {1, "n\n", {"testcrypt"}, "s3cret", ZVCLI_EXIT_FAIL, "", "Go on? [y/N]"},
        {1, "y\n", {"testcrypt"}, "s3cret", ZVCLI_EXIT_OK, tc, "Go on? [y/N]"},
        {1, "testcrypt\n", {"-y"}, "s3cret", ZVCLI_EXIT_OK, tc, ""}};
    TempDir d;
    write_file(d.file("xlate.dat"), "s3cret\n");
    for (const Case &c : cases) {
        int port = free_port(), lfd = tcp_listen(port, "127.0.0.1"), p[2];
        std::thread server([&] {
            int fd = accept(lfd, nullptr, nullptr);
            if (fd < 0) return;
            std::string in;
            char buf[4096];
            ssize_t n;
            while (in.find('\n') == std::string::npos && (n = read(fd, buf, sizeof buf)) > 0)
                in.append(buf, static_cast<size_t>(n));
            std::string out = "0 +ENCRYPT 777 zv Encryption enabled\r\n";
            (void)!write(fd, out.data(), out.size());
            RhandPtr rin(rand_seed(xlate_seed("s3cret", 777)));
            RhandPtr rout(rand_seed(xlate_seed(c.send_secret, 777)));
            std::vector<std::string> reqs;
            for (in.clear(); (n = read(fd, buf, sizeof buf)) > 0;) {
                xlate_in(rin.get(), buf, static_cast<int>(n));
                in.append(buf, static_cast<size_t>(n));
                for (size_t nl; (nl = in.find('\n')) != std::string::npos; in.erase(0, nl + 1)) {
                    reqs.push_back(in.substr(0, nl));
                    if (reqs.size() < c.batch) continue;
                    for (out.clear(); !reqs.empty(); reqs.pop_back()) {
                        std::string id = reqs.back().substr(0, reqs.back().find(' ')),
                                    cmd = reqs.back().substr(id.size() + 1);
                        out += id + " +DATA for " + cmd + "\r\n" + id +
                               (cmd.starts_with("bad") ? " -ERR no " : " +OK ") + cmd + "\r\n";
                    }
                    xlate_out(rout.get(), out.data(), static_cast<int>(out.size()));
                    (void)!write(fd, out.data(), out.size());
                }
            }
            close(fd);
        });
        ZvcliOptions o;
        std::string err;
        Args args = {"-port", std::to_string(port), "-secret", d.file("xlate.dat")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ASSERT_EQ(zvcli_parse_args(args, &o, &err), 1) << err;
        ASSERT_EQ(pipe(p), 0);
        (void)!write(p[1], c.input.data(), c.input.size());
        close(p[1]);
        FILE *out = tmpfile(), *errf = tmpfile();
        EXPECT_EQ(zvcli_run(o, p[0], out, errf), c.status) << c.input;
        close(p[0]);
        shutdown(lfd, SHUT_RDWR);
        server.join();
        close(lfd);
        EXPECT_EQ(slurp(out), c.out) << c.input;
        EXPECT_NE(slurp(errf).find(c.err), std::string::npos) << c.input;
    }
}
