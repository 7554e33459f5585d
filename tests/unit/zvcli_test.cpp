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

TEST(ZvcliArgs, Table) {
    struct Case {
        std::vector<std::string> args;
        ZvcliMode mode;
        std::vector<std::string> rest;
    };
    const Case cases[] = {
        {{}, ZVCLI_BATCH, {}},
        {{"check", "alice", "pw"}, ZVCLI_COMMAND, {"check", "alice", "pw"}},
        {{"-port", "700", "set", "bob", "-x"}, ZVCLI_COMMAND, {"set", "bob", "-x"}},
        {{"--", "-odd"}, ZVCLI_COMMAND, {"-odd"}},
        {{"-checkpassword", "prog", "-a", "b"}, ZVCLI_CHECKPASSWORD, {"prog", "-a", "b"}},
        {{"-h", "-bogus"}, ZVCLI_HELP, {}},
        {{"-version"}, ZVCLI_VERSION, {}},
    };
    for (const Case &c : cases) {
        ZvcliOptions o;
        std::string err;
        EXPECT_EQ(zvcli_parse_args(c.args, &o, &err), 1) << c.args.size() << err;
        EXPECT_EQ(std::tie(o.mode, o.args), std::tie(c.mode, c.rest)) << c.args.size();
    }
    const std::vector<std::string> bad[] = {
        {"-checkpassword"}, {"-", "check"},     {"-bogus"},       {"-port"},
        {"-port", "0"},     {"-port", "65536"}, {"-port", "80x"}, {"-timeout", "0"},
        {"-window", "257"}, {"-secret", ""},    {"-host", ""},
    };
    for (const auto &args : bad) {
        ZvcliOptions o;
        std::string err;
        EXPECT_EQ(zvcli_parse_args(args, &o, &err), 0) << args[0];
        EXPECT_FALSE(err.empty()) << args[0];
    }
    ZvcliOptions o;
    std::string err;
    ASSERT_EQ(
        zvcli_parse_args({"-host", "mail.example", "-port", "700", "-secret", "/s", "-conf", "/c",
                          "-timeout", "3", "-window", "7", "-nocheck", "-y", "-raw", "version"},
                         &o, &err),
        1);
    EXPECT_EQ(std::tie(o.host, o.port, o.secret_file, o.conf, o.timeout_s, o.window, o.check, o.yes,
                       o.raw),
              std::make_tuple("mail.example", 700, "/s", "/c", 3, 7, false, true, true));
}

TEST(ZvcliConf, ServerFileSettingsAndSecret) {
    TempDir d;
    std::string f = d.file("zorvexsvr.conf");
    ZvcliConf conf;
    std::string err;
    EXPECT_EQ(zvcli_conf_read(f, &conf, &err), 0);
    EXPECT_NE(err.find(f), std::string::npos);

    // Two spaces: atoi skips them; the first definition wins.
    const std::tuple<const char *, int, const char *> rows[] = {
        {"# port 1\n#port 2\n  port  700\nport 800\nsecret_file /x/y z \t# c\n"
         "secret_file /other\nworkarea /w\n",
         700, "/x/y z "},
        {"port\nsecret_file\t\t/tabbed\r\n", 0, "/tabbed"}};
    for (const auto &[text, port, secret] : rows) {
        write_file(f, text);
        conf = {};
        ASSERT_EQ(zvcli_conf_read(f, &conf, &err), 1);
        EXPECT_EQ(std::tie(conf.port, conf.secret_file), std::make_tuple(port, secret));
    }

    ZvcliOptions o;
    write_file(d.file("a.conf"), "port 4321\nsecret_file " + d.file("s") + "\n");
    o.conf = d.file("a.conf");
    ASSERT_EQ(zvcli_settings(&o, &err), 1);
    EXPECT_EQ(std::tie(o.port, o.secret_file), std::make_tuple(4321, d.file("s")));

    // The command line wins over the file; an unusable port gives the default.
    write_file(d.file("b.conf"), "port 99999\n");
    o = {};
    o.conf = d.file("b.conf");
    o.secret_file = "/mine";
    ASSERT_EQ(zvcli_settings(&o, &err), 1);
    EXPECT_EQ(std::tie(o.port, o.secret_file), std::make_tuple(ZVCLI_DEFAULT_PORT, "/mine"));

    std::string s;
    EXPECT_EQ(zvcli_load_secret(d.file("none"), &s, &err), 0);
    write_file(d.file("empty"), "\nsecond\n");
    EXPECT_EQ(zvcli_load_secret(d.file("empty"), &s, &err), 0);
    write_file(d.file("ok"), "abc123\r\nsecond\n");
    ASSERT_EQ(zvcli_load_secret(d.file("ok"), &s, &err), 1);
    EXPECT_EQ(s, "abc123");
}

TEST(ZvcliReplies, Classify) {
    const std::pair<ZvcliReply, std::vector<const char *>> cases[] = {
        {ZVCLI_REPLY_OK, {"+OK alice config 0 ", "+OK"}},
        {ZVCLI_REPLY_REFUSED,
         {"-ERR alice password wrong or not a valid user", "+ERR Sorry you must use encrypted mode",
          "-DEAD Could not access database.(x) (y)"}},
        {ZVCLI_REPLY_DATA,
         {"+DATA bob ", "+ENCRYPT 5 zv Encryption enabled", "", "+ok lower", " +OK"}},
    };
    for (const auto &[want, texts] : cases)
        for (const char *text : texts) EXPECT_EQ(zvcli_classify(text), want) << text;
}

TEST(ZvcliReplies, StartOk) {
    const std::pair<const char *, bool> cases[] = {
        {"", true},           {"12", true},           {"12 +OK", true},  {"-1 +OK", true},
        {"-", true},          {"12345678901", false}, {"x1 +OK", false}, {" 12", false},
        {"1\xe3 +OK", false}, {"- +OK", false},       {"+OK", false},    {"1234567890 a", true},
    };
    for (const auto &[text, want] : cases) EXPECT_EQ(zvcli_reply_start_ok(text), want) << text;
}

TEST(ZvcliCommands, WordAndProblems) {
    EXPECT_EQ(zvcli_command_word("  CHECK alice pw"), "check");
    EXPECT_EQ(zvcli_command_word("Quit"), "quit");
    EXPECT_EQ(zvcli_command_word("exit\tnow"), "exit\tnow");  // a tab is no separator
    EXPECT_EQ(zvcli_command_word(""), "");

    // "<id> <command>" may be 990 characters and no more.
    const std::tuple<std::string, int, bool> problems[] = {
        {"check alice pw", 1, false},
        {"", 1, false},
        {"check a\nb", 1, true},
        {"check a\rb", 1, true},
        {std::string("check a\0b", 9), 1, true},
        {"Encrypt x", 1, true},
        {std::string(988, 'x'), 1, false},
        {std::string(989, 'x'), 1, true},
        {std::string(985, 'x'), 1234, false},
        {std::string(986, 'x'), 1234, true},
    };
    for (const auto &[cmd, id, bad] : problems)
        EXPECT_EQ(zvcli_command_problem(cmd, id) != "", bad) << cmd.size() << " " << cmd;
    // Names and passwords from the command line go out whole or not at all.
    const std::pair<std::vector<std::string>, bool> words[] = {
        {{"set", "dave", "pw", "quota=\"1 0\""}, false},
        {{"set", "dave", "p w"}, true},
        {{"CHECK", "da ve", "pw"}, true},
        {{"check", "dave", "p\x7f"}, true},
        {{"lookup", "a\tb"}, true},
        {{"del", ""}, true},
        {{"mod", "dave", "(NULL)", "x=\"a b\""}, false},
        {{"search", "a b"}, false},
    };
    for (const auto &[args, bad] : words) EXPECT_EQ(zvcli_args_problem(args) != "", bad) << args[1];
}

TEST(ZvcliCheckpassword, ParseInput) {
    // user, password, timestamp; "\000" ends the password before "123".
    const std::tuple<std::string, const char *, const char *, const char *> cases[] = {
        {std::string("alice\0pw\000123\0", 13), "alice", "pw", "123"},
        {std::string("alice\0pw\0\0", 10), "alice", "pw", ""},
        {std::string("alice\0pw\0", 9), "alice", "pw", ""},
        {std::string("alice\0pw\0cut", 12), "alice", "pw", "cut"},
        {std::string("\0\0", 2), "", "", ""},
    };
    for (const auto &[data, user, pass, stamp] : cases) {
        std::string u, p, t;
        EXPECT_EQ(zvcli_cp_parse(data, &u, &p, &t), true) << data;
        EXPECT_EQ(std::tie(u, p, t), std::make_tuple(user, pass, stamp));
    }
    for (const std::string &data :
         {std::string("alice\0pw", 8), std::string("alice"), std::string()}) {
        std::string u, p, t;
        EXPECT_EQ(zvcli_cp_parse(data, &u, &p, &t), false) << data;
    }
}

TEST(ZvcliCheckpassword, HomeAndInfo) {
    const std::tuple<const char *, bool, const char *> homes[] = {
        {"home=\"/home/al\"", true, "/home/al"},
        {"quota=\"10\" home=\"/h/b c\" x=\"1\"", true, "/h/b c"},
        {"xhome=\"/no\" home=\"/yes\"", true, "/yes"},
        {"xhome=\"/no\"", false, ""},
        {"home=\"unterminated", false, ""},
        {"home=/bare", false, ""},
        {"home=\"\"", true, ""},
    };
    for (const auto &[info, ok, want] : homes) {
        std::string h;
        EXPECT_EQ(zvcli_info_home(info, &h), ok) << info;
        EXPECT_EQ(ok ? h : "", want);
    }
    EXPECT_EQ(zvcli_check_info("+OK alice config 0 quota=\"10\" home=\"/h\""),
              "quota=\"10\" home=\"/h\"");
    EXPECT_EQ(zvcli_check_info("+OK alice config 0 "), "");
    EXPECT_EQ(zvcli_check_info("+OK alice"), "");
}

TEST(ZvcliCheckpassword, ExecCandidates) {
    using V = std::vector<std::string>;
    EXPECT_EQ(zvcli_exec_candidates("/bin/true", "/x"), V{"/bin/true"});
    EXPECT_EQ(zvcli_exec_candidates("./prog", ""), V{"./prog"});
    EXPECT_EQ(zvcli_exec_candidates("sh", ""), (V{"/usr/local/bin/sh", "/usr/bin/sh", "/bin/sh"}));
    EXPECT_EQ(zvcli_exec_candidates("sh", "/a::/b"), (V{"/a/sh", "./sh", "/b/sh"}));
}

namespace {

// A stand-in server on loopback: does the handshake, deciphers with the
// secret, enciphers its replies with send_secret and answers each batch of
// requests through respond(), for client behaviour a real engine never shows
// (replies out of order, silence, garbage).
class FakeServer {
   public:
    using Respond = std::string (*)(const std::vector<std::pair<int, std::string>> &);
    FakeServer(std::string secret, size_t batch, Respond respond, std::string send_secret)
        : port_(free_port()), lfd_(tcp_listen(port_, "127.0.0.1")) {
        if (send_secret.empty()) send_secret = secret;
        th_ = std::thread([=, this] { serve(secret, send_secret, batch, respond); });
    }
    ~FakeServer() {
        shutdown(lfd_, SHUT_RDWR);
        th_.join();
        close(lfd_);
    }
    int port() const { return port_; }

   private:
    void serve(const std::string &secret, const std::string &send_secret, size_t batch,
               Respond respond) {
        int fd = accept(lfd_, nullptr, nullptr);
        if (fd < 0) return;
        std::string in;
        char buf[4096];
        ssize_t n;
        while (in.find('\n') == std::string::npos && (n = read(fd, buf, sizeof buf)) > 0)
            in.append(buf, static_cast<size_t>(n));
        std::string hello = "0 +ENCRYPT 777 zv Encryption enabled\r\n";
        (void)!write(fd, hello.data(), hello.size());
        RhandPtr rin(rand_seed(xlate_seed(secret.c_str(), 777)));
        RhandPtr rout(rand_seed(xlate_seed(send_secret.c_str(), 777)));
        std::vector<std::pair<int, std::string>> reqs;
        in.clear();
        while ((n = read(fd, buf, sizeof buf)) > 0) {
            xlate_in(rin.get(), buf, static_cast<int>(n));
            in.append(buf, static_cast<size_t>(n));
            for (size_t nl; (nl = in.find('\n')) != std::string::npos; in.erase(0, nl + 1)) {
                reqs.emplace_back(atoi(in.c_str()),
                                  in.substr(in.find(' ') + 1, nl - in.find(' ') - 1));
                if (reqs.size() < batch) continue;
                std::string out = respond(reqs);
                reqs.clear();
                xlate_out(rout.get(), out.data(), static_cast<int>(out.size()));
                (void)!write(fd, out.data(), out.size());
            }
        }
        close(fd);
    }
    int port_, lfd_;
    std::thread th_;
};

// Answers a batch last request first, with a data line before each end line.
std::string reversed(const std::vector<std::pair<int, std::string>> &reqs) {
    std::string out;
    for (auto it = reqs.rbegin(); it != reqs.rend(); ++it) {
        std::string id = std::to_string(it->first);
        out += id + " +DATA for " + it->second + "\r\n";
        out += id + (it->second.starts_with("bad") ? " -ERR no " : " +OK ") + it->second + "\r\n";
    }
    return out;
}

std::string silent(const std::vector<std::pair<int, std::string>> &) {
    return "";
}

struct Outcome {
    int status;
    std::string out, err;
};

// Runs the client against a FakeServer with the secret "s3cret".
Outcome run_client(size_t batch, FakeServer::Respond respond, const std::string &input,
                   std::vector<std::string> extra, const std::string &send_secret) {
    TempDir d;
    write_file(d.file("xlate.dat"), "s3cret\n");
    FakeServer srv("s3cret", batch, respond, send_secret);
    ZvcliOptions o;
    std::string perr;
    std::vector<std::string> args = {"-port", std::to_string(srv.port()), "-secret",
                                     d.file("xlate.dat")};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_EQ(zvcli_parse_args(args, &o, &perr), 1) << perr;
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    (void)!write(p[1], input.data(), input.size());
    close(p[1]);
    FILE *out = tmpfile(), *err = tmpfile();
    Outcome r;
    r.status = zvcli_run(o, p[0], out, err);
    close(p[0]);
    for (auto [f, s] : {std::pair{out, &r.out}, std::pair{err, &r.err}}) {
        rewind(f);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) s->append(buf, n);
        fclose(f);
    }
    return r;
}

}  // namespace

// The server answers once `batch` requests wait: a window of two never lets
// it see three. testcrypt is refused in a batch, asked for alone.
TEST(ZvcliRun, Table) {
    auto expect = [](size_t batch, FakeServer::Respond respond, const std::string &input,
                     std::vector<std::string> extra, const char *send_secret, int status,
                     const std::string &out, std::vector<std::string> errs) {
        Outcome r = run_client(batch, respond, input, extra, send_secret);
        EXPECT_EQ(r.status, status) << input << r.err;
        EXPECT_EQ(r.out, out) << input;
        for (const std::string &e : errs) EXPECT_NE(r.err.find(e), std::string::npos) << r.err;
    };
    const std::string ab = "+DATA for a\n+OK a\n+DATA for b\n+OK b\n";
    expect(4, reversed, "a\nb\n# skipped\n\nbad c\nd\n", {}, "", ZVCLI_EXIT_REFUSED,
           ab + "+DATA for bad c\n-ERR no bad c\n+DATA for d\n+OK d\n", {});
    expect(2, reversed, "a\nb\nc\nd", {"-raw", "-window", "2"}, "", ZVCLI_EXIT_OK,
           "1 +DATA for a\n1 +OK a\n2 +DATA for b\n2 +OK b\n3 +DATA for c\n3 +OK c\n"
           "4 +DATA for d\n4 +OK d\n",
           {});
    expect(3, reversed, "a\nb\nc\nd\n", {"-window", "2", "-timeout", "1"}, "", ZVCLI_EXIT_FAIL, "",
           {"2 requests unanswered"});
    expect(1, silent, "version\n", {"-timeout", "1"}, "", ZVCLI_EXIT_FAIL, "", {"timed out"});
    expect(1, reversed, "x\n", {"-timeout", "60"}, "other", ZVCLI_EXIT_FAIL, "",
           {"shared secret differs"});
    expect(1, reversed, "a\nencrypt x\n" + std::string(1000, 'y') + "\nb\n", {}, "",
           ZVCLI_EXIT_REFUSED, ab, {"line 2:", "line 3:"});
    expect(1, reversed, "testcrypt\n", {}, "", ZVCLI_EXIT_REFUSED, "",
           {"line 1: testcrypt creates"});
    const std::string tc = "+DATA for testcrypt\n+OK testcrypt\n";
    expect(1, reversed, "n\n", {"testcrypt"}, "", ZVCLI_EXIT_FAIL, "", {"Go on? [y/N]"});
    expect(1, reversed, "y\n", {"testcrypt"}, "", ZVCLI_EXIT_OK, tc, {"Go on? [y/N]"});
    expect(1, reversed, "testcrypt\n", {"-y"}, "", ZVCLI_EXIT_OK, tc, {});
}
