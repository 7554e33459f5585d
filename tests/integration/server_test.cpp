// The daemon end to end: command line, start-up refusals, listening and
// admitting, shutdown by exit file, and floods on the wire.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "support/server_fixture.h"

TEST(CommandLine, Options) {
    std::string prog = program_path("zorvexsvr");
    RunResult r = run_program({prog, "-m", "-version", "-x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Zorvexsvr Version 1.1e\n");
    r = run_program({prog, "-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "\nZorvexsvr Version 1.1e\n\nUsage: zorvexsvr [-conf /etc/zorvexsvr.conf] "
              "[-install] [-uninstall] [-port <x>]\n\n");
    // Start-up refusals: one line on standard error, status 1, nothing left
    // running. $D is a fresh directory that holds the configuration $D/c, $P
    // a free port.
    // Each row: arguments (blank-separated) | configuration | standard output
    // | standard error after "zorvexsvr: ".
    const std::string refusals[] = {
        "-x -version||Unknown qualifier (-x)\n|unknown option -x; zorvexsvr -h lists the options",
        "-conf|||-conf needs a value",
        "-port|||-port needs a value",
        "-port abc|||-port abc is not a port number; give a number from 1 to 65535",
        "-port 70000|||-port 70000 is not a port number; give a number from 1 to 65535",
        "|port 70000||port 70000 in $D/c is not a port number; give one from 1 to 65535",
        "|workarea $D/no||work area $D/no: No such file or directory; create it writable or set "
        "workarea in $D/c",
        "|workarea $D/c||work area $D/c: not a directory; create it writable or set workarea in "
        "$D/c",
        "|logdir $D/no|Unable to open ($D/no/zorvexsvr.log) (No such file or directory) \n|log "
        "directory $D/no: No such file or directory; create it writable or set logdir in $D/c",
        "|listen_address 127.0.0.300||listen_address 127.0.0.300 in $D/c is no IPv4 or IPv6 "
        "address; give one, or remove the line to listen on every IPv4 address",
        "|allow 127.0.0.1 10.0.0.0/33||allow in $D/c: 10.0.0.0/33 is no address or CIDR range; "
        "write addresses such as 192.0.2.7, 10.0.0.0/8 or 2001:db8::/32",
        "|allow  , ||allow in $D/c names no address; write addresses such as 192.0.2.7, "
        "10.0.0.0/8 or 2001:db8::/32, or remove the line to admit everyone",
        "|max_connections 0||max_connections 0 in $D/c is no number from 1 up; give one, or "
        "remove the line to allow what the descriptor limit does",
        "|password_scheme scrypt||password_scheme scrypt: no such scheme; give ssha, sha512-crypt, "
        "bcrypt, yescrypt or argon2id; change the line in $D/c",
        "|hash_threads 65||hash_threads 65 in $D/c is no number from 1 to 64; give one, or "
        "remove the line for one thread per core",
        "|metrics_listen localhost:9601||metrics_listen localhost:9601 in $D/c is not "
        "ADDRESS:PORT, [ADDRESS]:PORT or PORT; give one such as 127.0.0.1:9601, or remove the line",
        "|port $P\nmetrics_listen 127.0.0.1:$P||cannot listen for metrics on 127.0.0.1:$P: Address "
        "already in use; stop what uses it or choose another address"};
    for (const std::string &row : refusals) {
        TempDir d;
        std::string t = row, row_arg;
        for (size_t at; (at = t.find("$D")) != std::string::npos;) t.replace(at, 2, d.path());
        const std::string port = std::to_string(free_port());
        for (size_t at; (at = t.find("$P")) != std::string::npos;) t.replace(at, 2, port);
        std::vector<std::string> f;
        for (size_t at = 0, bar; f.size() < 3; at = bar + 1)
            f.push_back(t.substr(at, (bar = t.find('|', at)) - at));
        // Only the last row gets as far as listening, and no row detaches;
        // the first definition of a key wins.
        write_file(d.file("c"), f[1] + "\nworkarea " + d.path() + "\nlogdir " + d.path() + "\n");
        std::vector<std::string> argv{prog, "-conf", d.file("c")};
        for (std::istringstream in(f[0]); in >> row_arg;) argv.push_back(row_arg);
        r = run_program(argv, "", d.path());
        EXPECT_EQ(r.status, 1) << row;
        EXPECT_EQ(r.out, f[2]);
        EXPECT_EQ(r.err, "zorvexsvr: " + t.substr(t.rfind('|') + 1) + "\n");
    }
    // The bad -port after the long path keeps a server that took the path
    // from starting.
    r = run_program({prog, "-conf", std::string(1000, 'c'), "-port", "abc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zorvexsvr: configuration path longer than 999 characters\n");
}

// The OPTIONS of each manual page name exactly the options of its program's
// -h (beyond the fixed usage line of zorvexsvr).
TEST(CommandLine, ManPagesMatchHelp) {
    auto options = [](const std::string &text, const char *re) {
        std::set<std::string> opts;
        const std::regex r(re);
        for (std::sregex_iterator i(text.begin(), text.end(), r), end; i != end; ++i)
            opts.insert("-" + (*i)[1].str());
        return opts;
    };
    for (std::string prog : {"zorvexsvr", "zorvex", "kvauth", "pgauth"}) {
        if (access(program_path(prog).c_str(), X_OK) != 0) continue;  // pgauth needs libpq
        std::string page = read_file(std::string(ZORVEX_SOURCE_DIR) + "/doc/man/" + prog +
                                     (prog == "zorvex" ? ".1" : ".8"));
        page = page.substr(page.find(".SH OPTIONS"));
        page = page.substr(0, page.find("\n.SH", 1));
        RunResult r = run_program({program_path(prog), "-h"});
        // Indented option lines, and the "[-word" of the usage line.
        std::string help = r.out + r.err, usage = help.substr(help.find("Usage:"));
        auto want = options(help, R"(\n +-([a-z]\w*))");
        want.merge(options(usage.substr(0, usage.find('\n')), R"(\[-([a-z]\w*))"));
        if (prog == "zorvexsvr") want.insert({"-version", "-h", "-m"});
        EXPECT_EQ(options(page, R"(\.TP\n\.BI? \\-(\w+))"), want) << prog;
    }
}

// Listening on 127.0.0.2 only, and admitting clients from 127.0.0.2 only.
TEST(Server, StartupAddressesAndExitFile) {
    TestServer s;
    s.host = "127.0.0.2";
    s.extra_conf = {"listen_address 127.0.0.2", "allow ::1, 127.0.0.2/32"};
    write_file(s.file("zorvexsvr.exit"), "");  // stale: must not stop the new server
    ASSERT_TRUE(s.start());
    EXPECT_EQ(s.startup_output(), "Detaching process...\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(s.alive());
    EXPECT_EQ(read_file(s.file("zorvexsvr.pid")), std::to_string(s.pid()) + "\n");
    struct stat st;
    ASSERT_EQ(stat(s.file("zorvexsvr.pid").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    for (const std::string &l :
         {std::string("-------------- Zorvexsvr 1.1e Starting -------------------\n"),
          "Set kvauth path (" + s.db_dir() + ")\n",
          "Listening on Zorvex port " + std::to_string(s.port()) + " socket "})
        EXPECT_NE(s.log().find(l), std::string::npos) << l;
    EXPECT_EQ(s.log().find("Debug logging on"), std::string::npos);

    ZvClient c, from1, from2;
    std::string line;
    EXPECT_FALSE(cli_connect(&c, "127.0.0.1", s.port(), 2000));
    ASSERT_TRUE(cli_connect(&from1, "127.0.0.2", s.port(), 2000, "127.0.0.1"));
    EXPECT_EQ(cli_read_line(&from1, &line, 5000), -1);
    EXPECT_TRUE(s.wait_log("Connection from 127.0.0.1 refused: not in allow\n"));
    // A flood of refusals from one address: a line a second at most, each
    // counting those held back before it (the last second's by a late one).
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i <= 300; i++) {
        if (i == 300) std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        ASSERT_TRUE(cli_connect(&c, "127.0.0.2", s.port(), 5000, "127.0.0.3"));
        ASSERT_EQ(cli_read_line(&c, &line, 5000), -1);
    }
    const std::regex re(
        R"(Connection from 127\.0\.0\.3 refused: not in allow(?: \((\d+) more\))?\n)");
    ASSERT_TRUE(s.wait_log(" more)\n"));  // the fast loop writes its log lines in batches
    std::string log = s.log();
    int lines = 0, total = 0;
    for (std::sregex_iterator i(log.begin(), log.end(), re), end; i != end; ++i, lines++)
        total += 1 + atoi((*i)[1].str().c_str());
    EXPECT_EQ(total, 301);
    EXPECT_LE(lines, (std::chrono::steady_clock::now() - t0) / std::chrono::seconds(1) + 2);
    EXPECT_NE(log.find("-------------- Zorvexsvr 1.1e Starting"), std::string::npos);
    ASSERT_TRUE(cli_connect(&from2, "127.0.0.2", s.port(), 2000, "127.0.0.2"));
    cli_send_raw(&from2, "4 exit\n");
    ASSERT_EQ(cli_read_line(&from2, &line, 5000), 1);
    EXPECT_EQ(line, "4 +OK exiting");

    EXPECT_TRUE(s.stop());
    size_t a = s.log().find("zorvexsvr exit called\n");
    ASSERT_NE(a, std::string::npos);
    EXPECT_NE(s.log().find("All memory correctly freed\n", a), std::string::npos);
    EXPECT_FALSE(read_file(s.file("zorvexsvr.pid")).empty());
}

TEST(Server, PortRulesAndListenFailure) {
    // The configuration's port wins over -port; -port counts without one.
    TestServer s;
    const int cli_port = s.port();
    write_file(s.conf_path(), "workarea " + s.dir() + "\nlogdir " + s.dir() + "\nport 0\n");
    s.args = {"-port", std::to_string(cli_port)};
    ASSERT_TRUE(s.start(false));
    ASSERT_TRUE(s.wait_log("Listening on Zorvex port " + std::to_string(cli_port)));
    // A second server on the same port can't listen and says so.
    TestServer t;
    write_file(t.conf_path(), "workarea " + t.dir() + "\nlogdir " + t.dir() + "\nport " +
                                  std::to_string(cli_port) + "\n");
    RunResult r = run_program({program_path("zorvexsvr"), "-conf", t.conf_path()}, "", t.dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "zorvexsvr: cannot listen on every IPv4 address port " +
                         std::to_string(cli_port) +
                         ": Address already in use; stop what uses it or choose another port\n");
    EXPECT_NE(t.log().find("Could not listen on " + std::to_string(cli_port) + "\n"),
              std::string::npos);
    EXPECT_TRUE(s.stop());
    EXPECT_TRUE(s.wait_log("All memory correctly freed"));
}

// More connections than a select set could hold, 600 reply lines to one
// write (far more than an output buffer holds) and 10 MB without a line end
// (closes that connection only).
TEST(Server, FloodsOfConnectionsRepliesAndBytes) {
    TestServer s;
    ASSERT_TRUE(s.start());
    std::vector<ZvClient> cs(1100);
    for (auto &c : cs) ASSERT_TRUE(cli_connect(&c, "127.0.0.1", s.port(), 5000));
    std::string line;
    for (size_t i = 0; i < cs.size(); i += 100) {
        cli_send_raw(&cs[i], "5 exit\n");
        // The accept of one per cycle takes a while.
        ASSERT_EQ(cli_read_line(&cs[i], &line, 60000), 1) << i;
        EXPECT_EQ(line, "5 +OK exiting");
    }
    cs.clear();

    ZvClient big, c;
    ASSERT_TRUE(s.connect(&big, false));
    for (int i = 0; i < 10 && cli_send_raw(&big, std::string(1 << 20, 'z')); i++) {
    }
    cli_send_raw(&big, std::string(300000, 'z'));
    EXPECT_TRUE(s.wait_log("CHAN_READIN, header request too big", 20000));

    ASSERT_TRUE(s.connect(&c));
    std::string burst;
    for (int i = 1; i <= 60; i++) burst += std::to_string(i) + " help\n";
    ASSERT_TRUE(cli_send_raw(&c, burst));
    int lines = 0, closing = 0;
    for (; closing < 60 && cli_read_line(&c, &line, 5000) == 1; lines++)
        closing += line.size() > 4 && line.compare(line.size() - 4, 4, "+OK ") == 0;
    EXPECT_EQ(closing, 60);
    EXPECT_EQ(lines, 600);
}

// Descriptors run short. Under a limit of 64 the server keeps 32 back and
// closes connections beyond the other 32 at once, as beyond max_connections
// 3; a limit lowered below what is open (prlimit on the running server)
// leaves the spare descriptor to shed new ones. The first connections are
// served throughout, a closed one makes room, and the exit file still works.
TEST(Server, DescriptorLimitAndMaxConnections) {
    if (access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "no prlimit (util-linux)";
    for (int max : {32, 3}) {
        TestServer s;
        s.launcher = {"/usr/bin/prlimit", "--nofile=64"};
        if (max == 3) s.extra_conf = {"max_connections 3"};
        ASSERT_TRUE(s.start());
        std::vector<ZvClient> cs(max == 3 ? 3 : 1);
        for (auto &c : cs) ASSERT_TRUE(s.connect(&c));
        auto last_shed = [&](int n, const std::string &why) {
            std::vector<ZvClient> more(static_cast<size_t>(n));
            for (auto &c : more) ASSERT_TRUE(cli_connect(&c, "127.0.0.1", s.port(), 5000));
            std::string line;
            EXPECT_EQ(cli_read_line(&more.back(), &line, 5000), -1) << why;
            EXPECT_TRUE(s.wait_log("Connection closed at once: " + why + "\n"));
        };
        auto serves = [&](ZvClient &c, const std::string &cmd, const std::string &reply) {
            EXPECT_EQ(s.request(&c, 1, cmd), std::vector<std::string>{"1 +OK " + reply});
        };
        last_shed(max == 3 ? 1 : 80, "max_connections " + std::to_string(max) + " reached");
        for (auto &c : cs) serves(c, "set bob pw", "bob added to database");
        if (max == 3) {
            cs[2] = ZvClient();
            serves(cs[0], "check bob pw", "bob config 0 ");
            EXPECT_TRUE(s.connect(&cs[2]));
            continue;
        }
        std::string pid = std::to_string(s.pid());
        int lowest_free = 0;  // every descriptor below the new limit is taken
        while (access(("/proc/" + pid + "/fd/" + std::to_string(lowest_free)).c_str(), F_OK) == 0)
            lowest_free++;
        RunResult r = run_program(
            {"/usr/bin/prlimit", "--pid", pid, "--nofile=" + std::to_string(lowest_free)});
        ASSERT_EQ(r.status, 0);
        last_shed(3, "no descriptor left (Too many open files)");
        serves(cs[0], "check bob pw", "bob config 0 ");
        EXPECT_TRUE(s.stop());
    }
}

// Two searches of 2 MB each and a lookup in one write, read a second late:
// the fast loop answers all in full (the later ones wait while the output
// is large); the classic loop ends each with its final line or closes the
// connection, never leaving one unanswered. A client gone at once under
// such a reply leaves the server serving others. In engine mode, and with
// kvauth (working in the server's directory) in the fast loop's pool: the
// classic pool relays 10 KB of a pipe per wait cycle.
TEST(Server, LargeRepliesToLateAndGoneReaders) {
    const char *loop = getenv("ZORVEX_TEST_LOOP");
    const bool fast = loop && std::string(loop) == "fast";
    const std::string info(400, 'i'), found = "+OK Search Complete 5000 items found out of 5000";
    std::string users;
    for (int i = 0; i < 5000; i++) users += "u" + std::to_string(i) + ":*pw:" + info + "\n";
    for (std::string db : {"db/", ""}) {
        if (db.empty() && (!fast || access("/etc/vexmo.conf", F_OK) == 0 ||
                           access("/etc/zorvexsvr.conf", F_OK) == 0))
            continue;
        TestServer s;
        write_file(s.file(db + "kvauth.txt"), users);
        if (db.empty()) s.extra_conf = {"authent_process " + program_path("kvauth")};
        ZvClient late, gone, other;
        ASSERT_TRUE(s.start() && s.connect(&late) && s.connect(&gone) && s.connect(&other));
        ASSERT_TRUE(cli_send_raw(&late, "1 search u\n2 search u\n3 lookup u7\n"));
        ASSERT_TRUE(cli_send(&gone, 4, "search u"));
        cli_close(&gone);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::map<int, std::pair<int, std::string>> got;  // data lines, final line
        int r = 1, id = 0, ends = 0;
        std::string_view text;
        for (std::string l; ends < 3 && (r = cli_read_line(&late, &l, 20000)) == 1;) {
            ASSERT_TRUE(cli_split_reply(l, &id, &text)) << l;
            text.starts_with("+DATA") ? got[id].first++ : (got[id].second = text, ends++);
        }
        EXPECT_NE(r, 0) << "a request left unanswered";
        const std::string lookup = "+OK u7 config 0 " + info;
        using Got = decltype(got);
        if (fast) {
            EXPECT_EQ(got, (Got{{1, {5000, found}}, {2, {5000, found}}, {3, {0, lookup}}}));
        }
        for (auto &[i, g] : got)
            EXPECT_TRUE(g.second.empty() || g.second == (i == 3 ? lookup : found)) << g.second;
        EXPECT_EQ(s.request(&other, 5, "lookup u1", 20000),
                  std::vector<std::string>{"5 +OK u1 config 0 " + info});
    }
}
