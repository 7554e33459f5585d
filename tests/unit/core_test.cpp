#include <gtest/gtest.h>

#include <algorithm>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/emsg.h"
#include "server/zorvexsvr.h"
#include "core/ini.h"
#include "lib/lib.h"
#include "support/server_fixture.h"

namespace {
void load_conf(const TempDir &d, const std::string &text) {
    write_file(d.file("c.conf"), text);
    ini_file_set(d.file("c.conf").c_str());
    ini_load();
}
}  // namespace

TEST(Ncpy, BoundsAndTerminators) {
    const std::tuple<const char *, int, std::string> cases[] = {
        {"abc", 2, std::string("ab\0xxxxx", 8)},
        {"abc", 5, std::string("abc\0x\0xx", 8)},
        {"", 3, std::string("\0xx\0xxxx", 8)},
        {"abc", 0, std::string("\0xxxxxxx", 8)}};
    for (const auto &[src, n, want] : cases) {
        char b[8];
        memset(b, 'x', sizeof b);
        ncpy(b, src, n);
        EXPECT_EQ(std::string(b, 8), want) << src << " " << n;
    }
}

TEST(Ini, ParsingRules) {
    TempDir d;
    load_conf(d,
              "debug true\nport  700\nauthent_process  /bin/x\nworkarea /w # comment\n"
              "#logdir /nope\n# secret_file /nope\n\tsecret_file\t/s\r\nunknown value\n"
              "port 650\nconfig\n");
    EXPECT_EQ(ini_true(INI_DEBUG), 1);
    EXPECT_EQ(atoi(ini_get(INI_PORT)), 700);
    EXPECT_STREQ(ini_get(INI_PORT), " 700");  // first definition wins
    EXPECT_STREQ(ini_get(INI_AUTHENT_PROCESS), " /bin/x");
    EXPECT_STREQ(ini_get(INI_WORKAREA), "/w # comment");
    EXPECT_STREQ(ini_get(INI_SECRET_FILE), "/s");
    for (int key :
         std::initializer_list<int>{INI_LOGDIR, INI_CONFIG, INI_KVAUTH_PATH, -1, INI_NKEYS})
        EXPECT_STREQ(ini_get(key), "") << key;
}

TEST(Ini, TrueIsExactAndMissingFileEmptiesAll) {
    TempDir d;
    for (const char *text :
         {"debug True\n", "debug yes\n", "debug true \n", "debug  true\n", "", "debug true"}) {
        load_conf(d, text);
        EXPECT_EQ(ini_true(INI_DEBUG), std::string(text) == "debug true") << text;
    }
    ini_file_set(d.file("missing.conf").c_str());
    testing::internal::CaptureStdout();
    ini_load();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Couldn't find " + d.file("missing.conf") + " No such file or directory\n");
    for (int k = 0; k < INI_NKEYS; k++) EXPECT_STREQ(ini_get(k), "");
    EXPECT_STREQ(file_work("zorvexsvr.exit"), "/zorvexsvr.exit");
}

TEST(Log, LinesPrefixesAndRestart) {
    TempDir d;
    load_conf(d, "logdir " + d.path() + "\nworkarea " + d.path() + "\n");
    EXPECT_EQ(std::string(file_log("zorvexsvr.log")), d.file("zorvexsvr.log"));
    EXPECT_EQ(std::string(file_work("zorvexsvr.exit")), d.file("zorvexsvr.exit"));
    imsg_open();
    struct stat st;
    ASSERT_EQ(stat(d.file("zorvexsvr.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    imsg("hello %d\n", 42);
    emsg("bad %s\n", "thing");
    dmsg("hidden\n");
    std::string log = read_file(d.file("zorvexsvr.log"));
    // "Www Mmm dd hh:mm:ss " is 20 characters.
    ASSERT_EQ(log.size(), 20 + 9 + 20 + 17u) << log;
    EXPECT_EQ(log.substr(19, 10), " hello 42\n");
    EXPECT_EQ(log.substr(29 + 19), " error: bad thing\n");
    // A long message is cut at 999 characters.
    imsg("%s\n", std::string(3000, 'a').c_str());
    log = read_file(d.file("zorvexsvr.log"));
    EXPECT_EQ(log.size(), 20 + 9 + 20 + 17 + 20 + 999u);
    // The line that passes 500000 bytes is the last of its file.
    for (int i = 0; i < 600; i++) imsg("%s\n", std::string(900, 'b').c_str());
    log = read_file(d.file("zorvexsvr.log"));
    EXPECT_LT(log.size(), 500000u);
    imsg("after\n");
    EXPECT_NE(read_file(d.file("zorvexsvr.log")).find("after"), std::string::npos);
    imsg_close();
}

TEST(Log, RefusesLinksAndWarnsOfSharedDirectories) {
    TempDir d;
    load_conf(d, "logdir " + d.path() + "\nworkarea " + d.path() + "\n");
    // Log and pid file are never opened through a planted link.
    for (const char *name : {"zorvexsvr.log", "zorvexsvr.pid"})
        ASSERT_EQ(symlink(d.file("victim").c_str(), d.file(name).c_str()), 0);
    testing::internal::CaptureStdout();
    imsg_open();
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "zorvexsvr.log) (Too many levels of symbolic links)"),
              std::string::npos);
    write_pid();
    EXPECT_NE(access(d.file("victim").c_str(), F_OK), 0);
    // A directory every user may write to is worth a warning, sticky or not.
    unlink(d.file("zorvexsvr.log").c_str());
    imsg_open();
    const struct {
        mode_t mode;
        int warnings;
    } rows[] = {{0755, 0}, {01777, 2}, {0777, 2}, {0775, 0}};
    for (const auto &r : rows) {
        chmod(d.path().c_str(), r.mode);
        size_t before = read_file(d.file("zorvexsvr.log")).size();
        imsg_warn_shared_dirs();
        std::string added = read_file(d.file("zorvexsvr.log")).substr(before);
        int n = 0;
        for (size_t at = 0; (at = added.find(" Warning: the ", at)) != std::string::npos; at++) n++;
        EXPECT_EQ(n, r.warnings) << r.mode << added;
    }
    imsg_close();
    EXPECT_NE(read_file(d.file("zorvexsvr.log"))
                  .find(" Warning: the log directory (" + d.path() +
                        ") is writable by every user, who can plant files there\n"),
              std::string::npos);
}

TEST(Log, SecretsFingerprintedOnlyWithLogSecretsNo) {
    TempDir d;
    struct Row {
        const char *conf;
        const char *line;
        int keep;
        std::string want;  // "fp" stands for a fingerprint
    } rows[] = {
        {"", "7 check bob pw from=192.0.2.1", 3, "7 check bob pw from=192.0.2.1"},
        {"log_secrets no\ndebug true\n", "7 check bob pw from=192.0.2.1", 3, "7 check bob fp"},
        {"log_secrets no\ndebug true\n", "check bob", 2, "check bob"},
        {"log_secrets no\ndebug true\n", "  7  lookup", 3, "  7  lookup"},
        // Request lines are for debug lines only: none is fingerprinted for nothing.
        {"log_secrets no\n", "7 check bob pw", 3, ""},
        {"log_secrets No\n", "7 check bob pw", 3, "7 check bob pw"},
    };
    for (const Row &r : rows) {
        load_conf(d, std::string("logdir ") + d.path() + "\n" + r.conf);
        imsg_open();
        std::string got = log_secret_words(r.line, r.keep);
        std::string secret = log_secret("s3cret");
        if (r.want.ends_with(" fp")) {
            ASSERT_EQ(got.size(), r.want.size() + 9) << got;
            EXPECT_EQ(got.substr(0, r.want.size() + 1), r.want + ":") << got;
            // Equal secrets, equal fingerprints; different ones differ.
            EXPECT_EQ(secret, log_secret("s3cret"));
            EXPECT_NE(secret, log_secret("s3creT"));
            EXPECT_EQ(secret.find("s3cret"), std::string::npos);
        } else {
            EXPECT_EQ(got, r.want);
            EXPECT_EQ(secret, log_hides_secrets() ? secret : "s3cret");
        }
        imsg_close();
    }
}

TEST(Log, SyslogDatagramsAndQuietRequests) {
    TempDir d;
    std::string path = d.file("log.sock");
    int rx = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    log_syslog_path(path.c_str());
    load_conf(d, "log syslog\nlogdir " + d.path() + "\n");
    imsg_open();
    imsg("hello %d\n", 1);
    emsg("bad\n");
    imsg("\n");  // an empty message sends nothing
    bool was = imsg_quiet(true);
    imsg("quiet\n");
    emsg("loud\n");
    imsg_quiet(was);
    imsg_log("line");
    imsg_close();
    log_syslog_path("/dev/log");
    const char *want[] = {"<22>", " zorvexsvr[", "]: hello 1", "<19>",   "]: bad",
                          "<19>", "]: loud",     "<22>",       "]: line"};
    std::string got;
    char buf[2000];
    for (ssize_t n; (n = recv(rx, buf, sizeof buf, MSG_DONTWAIT)) > 0;) got.append(buf, n) += "|";
    close(rx);
    size_t at = 0;
    for (const char *w : want) {
        at = got.find(w, at);
        ASSERT_NE(at, std::string::npos) << w << " in " << got;
    }
    EXPECT_EQ(std::count(got.begin(), got.end(), '|'), 4) << got;
    EXPECT_EQ(access(d.file("zorvexsvr.log").c_str(), F_OK), -1);
}
