// A regression: the memory of a replay.
#include <gtest/gtest.h>

#include "engine_env.h"

// Every replay applies the whole add file again; lines already in force
// used to copy their password and information into the pool each time, so a
// busy server grew by megabytes a minute (found by the soak test).
using ReplayMemory = EngineTest;

TEST_F(ReplayMemory, ReplayingLinesAlreadyInForceTakesNoMemory) {
    db("alice:*a:q=\"1\"\n");
    std::string text;
    for (int i = 0; i < 100; i++)
        text += "user" + std::to_string(i) + ":*pw:note=\"" + std::string(100, 'n') + "\"\n";
    add(text + "alice:(NULL):q=\"2\"\n");
    ASSERT_EQ(build_index("test"), 1);
    check_add();
    long bytes = auth_index_bytes();
    for (int i = 0; i < 300; i++) {
        set_add_file_reread();
        check_add();
    }
    EXPECT_EQ(auth_index_bytes(), bytes);
    ASSERT_NE(auth_find("alice"), nullptr);
    EXPECT_STREQ(auth_find("alice")->info, "q=\"2\"");
    EXPECT_STREQ(auth_find("alice")->pass, "*a");
    EXPECT_EQ(auth_user_count(), 101);
}
