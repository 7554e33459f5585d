// Test fixture for the engine: a fresh engine directory per test that is also
// the log directory, and every reply text collected through the print callback.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/emsg.h"
#include "core/ini.h"
#include "engine/flock.h"
#include "engine/kvcmd.h"
#include "engine/kvfilename.h"
#include "engine/kvindex.h"
#include "engine/userstore.h"
#include "engine/kvprint.h"
#include "engine/ld_sha.h"
#include "support/server_fixture.h"

class EngineTest : public ::testing::Test {
   protected:
    void SetUp() override {
        write_file(file("zorvexsvr.conf"), "logdir " + dir_.path() + "\n");
        ini_file_set(file("zorvexsvr.conf").c_str());
        ini_load();
        imsg_open();
        sha_reset_for_test();
        restart();
        kvauth_setprint(collect);
    }
    void TearDown() override {
        EXPECT_EQ(auth_lock_depth(), 0) << "a lock was left taken";
        kvauth_setprint(nullptr);
        buf_clear();
        replies().clear();
        store().close();
        kvfilename_reset_for_test();
        imsg_close();
        ini_file_set("");
        ini_free();
    }
    // The engine's state as a new process finds it.
    void restart() {
        store().close();
        kvfilename_reset_for_test();
        kvauth_set_path(dir_.path().c_str());
    }

    static std::vector<std::string> &replies() {
        static std::vector<std::string> r;
        return r;
    }
    static void collect(char *s) { replies().push_back(s); }
    std::vector<std::string> take_replies() { return std::exchange(replies(), {}); }
    // Runs one command line and returns the reply texts it printed.
    std::vector<std::string> run(std::string cmd) {
        replies().clear();
        do_command(cmd.data());
        return take_replies();
    }
    std::string one(const std::string &cmd) {
        auto r = run(cmd);
        return r.size() == 1 ? r[0] : "<" + std::to_string(r.size()) + " lines>";
    }

    std::string file(const std::string &name) const { return dir_.file(name); }
    std::string content(const std::string &name) const { return read_file(file(name)); }
    void db(const std::string &text) { write_file(file("kvauth.txt"), text); }
    void add(const std::string &text) { write_file(file("kvauth.add"), text); }
    bool exists(const std::string &name) const {
        struct stat st;
        return lstat(file(name).c_str(), &st) == 0;
    }
    int mode(const std::string &name) const {
        struct stat st;
        return stat(file(name).c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    }
    std::string log() const {
        imsg_flush();
        return read_file(file("zorvexsvr.log"));
    }
    bool log_has(const std::string &s) const { return log().find(s) != std::string::npos; }
    static int count_lines(const std::string &s) {
        return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
    }

    TempDir dir_;
};
