// Pool mode end to end: the daemon with a small authenticator script that the
// tests write themselves, and with kvauth serving one engine directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/server_fixture.h"

namespace {
using Lines = std::vector<std::string>;

// Echoes every request; "env" reports the process's environment and standard
// error, "split" writes a reply in pieces, "who" its pid, "slow" waits first,
// "long" answers with a line longer than the reply buffer and a second one,
// "check probe right" is the one right password.
const char *kScript =
    "while read -r l; do case \"$l\" in\n"
    " long) printf '+OK%010000d\\n-ERR injected\\n' 0;;\n"
    " 'check probe right') echo '+OK probe config 0';;\n"
    " 'check probe '*) echo '-ERR Password wrong';;\n"
    " env) echo \"+DATA vars $(/usr/bin/env | /bin/grep -vc '^PWD=')\";"
    " echo \"+DATA probe [$ZV_POOL_PROBE] home [$HOME]\";"
    " if [ -e /proc/$$/fd/2 ]; then e=open; else e=closed; fi; echo \"+OK stderr $e\";;\n"
    " split) printf '+DATA first hal'; /bin/sleep 0.4;"
    " printf 'f and more\\n+OK'; /bin/sleep 0.4; printf ' end\\n';;\n"
    " who) echo \"+OK pid $$\";;\n"
    " slow|late) /bin/sleep 1; echo \"+OK $l\";;\n"
    " fast) echo \"+OK $l\";;\n"
    " *) echo \"+DATA seen [$l]\"; echo \"+OK done\";;\n"
    "esac; done\n";

// Configures the script with n processes. Debug logging flushes every log line.
void use_script(TestServer *s, const std::string &n) {
    std::string prog = s->file("auth.sh");
    write_file(prog, std::string("#!/bin/sh\n") + kScript);
    chmod(prog.c_str(), 0700);
    s->extra_conf = {"authent_process " + prog, "authent_number " + n};
    s->debug = true;
}

Lines read_lines(ZvClient *c, size_t count) {
    Lines out;
    for (std::string l; out.size() < count && cli_read_line(c, &l, 5000) == 1;) out.push_back(l);
    return out;
}

TEST(Pool, RelayEnvironmentSplitRepliesClientsAndRestart) {
    // dash exports PWD by itself; anything else would come from the server.
    setenv("ZV_POOL_PROBE", "leaked", 1);
    TestServer s;
    use_script(&s, "2");
    ASSERT_TRUE(s.start());
    unsetenv("ZV_POOL_PROBE");
    ZvClient c;
    ASSERT_TRUE(s.connect(&c));
    // The replies carry the identifier, which the process never sees. An
    // identifier and a blank hand over an empty request; an identifier alone
    // hands over nothing and gets no reply.
    EXPECT_EQ(s.request(&c, 77, "check alice pw"),
              (Lines{"77 +DATA seen [check alice pw]", "77 +OK done"}));
    EXPECT_EQ(s.request(&c, 78, "lookup  two  spaces"),
              (Lines{"78 +DATA seen [lookup  two  spaces]", "78 +OK done"}));
    EXPECT_EQ(s.request(&c, 79, ""), (Lines{"79 +DATA seen []", "79 +OK done"}));
    ASSERT_TRUE(cli_send_raw(&c, "80\n"));
    EXPECT_EQ(s.request(&c, 81, "x"), (Lines{"81 +DATA seen [x]", "81 +OK done"}));
    EXPECT_EQ(s.request(&c, 1, "env"),
              (Lines{"1 +DATA vars 0", "1 +DATA probe [] home []", "1 +OK stderr closed"}));
    EXPECT_EQ(s.request(&c, 12, "split"), (Lines{"12 +DATA first half and more", "12 +OK end"}));

    // Requests of one connection run in parallel and pair by identifier.
    ASSERT_TRUE(cli_send(&c, 1, "slow"));
    ASSERT_TRUE(cli_send(&c, 2, "fast"));
    EXPECT_EQ(read_lines(&c, 2), (Lines{"2 +OK fast", "1 +OK slow"}));

    // Clear connections are not handed over.
    ZvClient clear;
    ASSERT_TRUE(s.connect(&clear, false));
    cli_send(&clear, 5, "check a b");
    EXPECT_EQ(read_lines(&clear, 1), (Lines{"5 +ERR Sorry you must use encrypted mode"}));

    // A client gone before its reply does not hurt the server.
    {
        ZvClient gone;
        ASSERT_TRUE(s.connect(&gone));
        ASSERT_TRUE(cli_send(&gone, 1, "late"));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_TRUE(s.wait_log("Removing channel"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // both processes idle again

    // A dead process is restarted on the next request; that request is lost.
    Lines r = s.request(&c, 1, "who");
    ASSERT_EQ(r.size(), 1u);
    int old = atoi(r[0].substr(r[0].rfind(' ') + 1).c_str());
    ASSERT_GT(old, 0);
    ASSERT_EQ(kill(old, SIGKILL), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(s.request(&c, 2, "lost", 3000).empty());
    ASSERT_TRUE(s.wait_log("spawn_write failed"));
    ASSERT_TRUE(s.wait_log("Now try and recreate that child process"));
    r = s.request(&c, 3, "who");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].substr(0, 10), "3 +OK pid ");
    EXPECT_NE(atoi(r[0].substr(10).c_str()), old);
    EXPECT_TRUE(s.alive());
    EXPECT_TRUE(s.stop());
}

TEST(Pool, OverlongLineReachesNoOtherRequest) {
    TestServer s;
    use_script(&s, "1");
    ASSERT_TRUE(s.start());
    ZvClient a, b;
    ASSERT_TRUE(s.connect(&a));
    ASSERT_TRUE(s.connect(&b));
    EXPECT_EQ(s.request(&a, 5, "long"), (Lines{"5 -ERR External process failed"}));
    // In one write: the second request waits for the one process.
    ASSERT_TRUE(cli_send_raw(&b, "6 check probe right\n7 check probe wrong\n"));
    EXPECT_EQ(read_lines(&b, 2), (Lines{"6 +OK probe config 0", "7 -ERR Password wrong"}));
    EXPECT_TRUE(s.stop());
}

TEST(Pool, UnexecutablePathIsLogged) {
    TestServer s;
    s.extra_conf = {"authent_process " + s.file("no such") + " -x"};
    s.debug = true;
    ASSERT_TRUE(s.start());
    EXPECT_TRUE(s.wait_log("lib_spawn: Error on exec " + s.file("no such") +
                           " -x No such file or directory"));
    EXPECT_TRUE(s.wait_log("Spawning h="));
    EXPECT_TRUE(s.stop());
}

TEST(Pool, AuthentNumberRules) {
    struct {
        const char *value;
        int procs;
        bool capped;
    } cases[] = {{"-4", 1, false}, {"12", 10, true}};
    for (const auto &k : cases) {
        TestServer s;
        use_script(&s, k.value);
        ASSERT_TRUE(s.start()) << k.value;
        ASSERT_TRUE(s.wait_log("Listening on"));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::string log = s.log();
        int spawned = 0;
        for (size_t at = log.find("Spawning h="); at != std::string::npos;
             at = log.find("Spawning h=", at + 1))
            spawned++;
        EXPECT_EQ(spawned, k.procs) << "authent_number " << k.value;
        EXPECT_EQ(log.find("is more than 10") != std::string::npos, k.capped) << k.value;
        EXPECT_TRUE(s.stop());
    }
}

// Sends the requests in one write, so that the server hands them to slots 0,
// 1 and 2 in order, and collects the reply texts by identifier until every
// request has its finishing line.
std::map<int, Lines> batch(ZvClient *c, const std::vector<std::pair<int, std::string>> &reqs) {
    std::string raw;
    for (const auto &[id, text] : reqs) raw += std::to_string(id) + " " + text + "\n";
    std::map<int, Lines> out;
    if (!cli_send_raw(c, raw)) return out;
    size_t done = 0;
    int id = 0;
    std::string_view text;
    for (std::string l; done < reqs.size() && cli_read_line(c, &l, 5000) == 1;) {
        if (!cli_split_reply(l, &id, &text)) continue;
        out[id].emplace_back(text);
        done += text.substr(0, 3) == "+OK" || text.substr(0, 4) == "-ERR";
    }
    return out;
}

TEST(PoolKvauth, ThreeProcessesSeeEveryChange) {
    if (access("/etc/vexmo.conf", F_OK) == 0 || access("/etc/zorvexsvr.conf", F_OK) == 0)
        GTEST_SKIP() << "kvauth would take its directory from this host's configuration";
    TestServer s;
    // Started without arguments and without a server configuration of its
    // own, kvauth works on bare names in the server's working directory.
    s.extra_conf = {"authent_process " + program_path("kvauth"), "authent_number 3"};
    s.debug = true;
    ASSERT_TRUE(s.start());
    ZvClient c1, c2, c3;
    for (ZvClient *c : {&c1, &c2, &c3}) ASSERT_TRUE(s.connect(c));

    auto r = batch(&c1, {{1, "set u1 p1 n=1"}, {2, "set u2 p2 n=2"}, {3, "set u3 p3 n=3"}});
    for (int i = 1; i <= 3; i++)
        EXPECT_EQ(r[i], (Lines{"+OK u" + std::to_string(i) + " added to database"}));
    // Each process checks a user that another one added.
    r = batch(&c2, {{11, "check u2 p2"}, {12, "check u3 p3"}, {13, "check u1 p1"}});
    EXPECT_EQ(r[11], (Lines{"+OK u2 config 0 n=2"}));
    EXPECT_EQ(r[12], (Lines{"+OK u3 config 0 n=3"}));
    EXPECT_EQ(r[13], (Lines{"+OK u1 config 0 n=1"}));
    r = batch(&c3, {{21, "search u"}, {22, "search u"}, {23, "search u"}});
    for (int id = 21; id <= 23; id++) {
        ASSERT_EQ(r[id].size(), 4u) << id;
        EXPECT_EQ(r[id].back(), "+OK Search Complete 3 items found out of 3");
    }
    r = batch(&c1, {{31, "del u2"}, {32, "del u3"}, {33, "del u1"}});
    for (int id = 31; id <= 33; id++) EXPECT_EQ(r[id], (Lines{"+OK Deleted user successfully"}));
    r = batch(&c2, {{41, "lookup u1"}, {42, "lookup u2"}, {43, "lookup u3"}});
    for (int i = 1; i <= 3; i++)
        EXPECT_EQ(r[40 + i], (Lines{"-ERR u" + std::to_string(i) + " not found"}));
    EXPECT_EQ(s.request(&c3, 50, "quit"), (Lines{"50 +OK"}));

    std::string log = s.log();
    for (int slot = 0; slot < 3; slot++)
        EXPECT_NE(log.find("Sending command [" + std::to_string(slot) + "] "), std::string::npos);
    EXPECT_TRUE(access(s.file("kvauth.add").c_str(), F_OK) == 0);
    EXPECT_TRUE(s.stop());
}

}  // namespace
