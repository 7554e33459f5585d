// Test environment for the engine's read side: a temporary engine directory
// that is also the log directory, a reply collector on the print callback,
// and every module's state reset before and after each test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/emsg.h"
#include "core/ini.h"
#include "engine/flock.h"
#include "engine/kvauth.h"
#include "engine/kvindex.h"
#include "engine/ld_sha.h"
#include "support/server_fixture.h"

inline std::vector<std::string> &engine_replies() {
    static std::vector<std::string> r;
    return r;
}

inline void engine_collect(char *s) {
    engine_replies().push_back(s);
}

class EngineTest : public ::testing::Test {
   protected:
    void SetUp() override {
        write_file(dir_.file("zorvexsvr.conf"), "logdir " + dir_.path() + "\n");
        ini_file_set(dir_.file("zorvexsvr.conf").c_str());
        ini_load();
        imsg_open();
        kvindex_reset_for_test();
        sha_reset_for_test();
        kvauth_set_path(dir_.path().c_str());
        buf_clear();
        engine_replies().clear();
        kvauth_setprint(engine_collect);
    }
    void TearDown() override {
        kvauth_setprint(nullptr);
        buf_clear();
        engine_replies().clear();
        kvindex_reset_for_test();
        imsg_close();
        ini_file_set("");
        ini_free();
    }
    std::string file(const std::string &name) const { return dir_.file(name); }
    void db(const std::string &text) { write_file(file("kvauth.txt"), text); }
    void add(const std::string &text) { write_file(file("kvauth.add"), text); }
    std::string log() {
        imsg_flush();
        return read_file(file("zorvexsvr.log"));
    }
    bool log_has(const std::string &s) { return log().find(s) != std::string::npos; }
    std::vector<std::string> take_replies() {
        std::vector<std::string> r;
        r.swap(engine_replies());
        return r;
    }

    TempDir dir_;
};
