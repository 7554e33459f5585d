// Test fixture for the engine: a fresh engine directory per test, the log
// opened in it, and every reply text collected through the print callback.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "core/emsg.h"
#include "core/ini.h"
#include "engine/flock.h"
#include "engine/kvauth.h"
#include "engine/kvindex.h"
#include "engine/ld_sha.h"
#include "support/server_fixture.h"

class KvTest : public ::testing::Test {
   protected:
    void SetUp() override {
        kvindex_reset_for_test();
        sha_reset_for_test();
        write_file(dir.file("t.conf"), "logdir " + dir.path() + "\n");
        ini_file_set(dir.file("t.conf").c_str());
        ini_load();
        imsg_open();
        kvauth_set_path(dir.path().c_str());
        buf_clear();
        replies().clear();
        kvauth_setprint(collect);
    }
    void TearDown() override {
        EXPECT_EQ(auth_lock_depth(), 0) << "a lock was left taken";
        kvauth_setprint(nullptr);
        buf_clear();
        imsg_close();
        ini_free();
        kvindex_reset_for_test();
    }

    static std::vector<std::string> &replies() {
        static std::vector<std::string> r;
        return r;
    }
    static void collect(char *s) { replies().push_back(s); }

    // Runs one command line and returns the reply texts it printed.
    std::vector<std::string> run(const std::string &cmd) {
        replies().clear();
        std::string line = cmd;
        do_command(line.data());
        return replies();
    }
    std::string one(const std::string &cmd) {
        auto r = run(cmd);
        return r.size() == 1 ? r[0] : "<" + std::to_string(r.size()) + " lines>";
    }

    std::string path(const std::string &name) const { return dir.file(name); }
    std::string content(const std::string &name) const { return read_file(path(name)); }
    bool exists(const std::string &name) const {
        struct stat st;
        return lstat(path(name).c_str(), &st) == 0;
    }
    int mode(const std::string &name) const {
        struct stat st;
        return stat(path(name).c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    }
    std::string log() const {
        imsg_flush();
        return read_file(dir.file("zorvexsvr.log"));
    }
    static int count_lines(const std::string &s) {
        int n = 0;
        for (char c : s) n += c == '\n';
        return n;
    }

    TempDir dir;
};
