#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/kvprint.h"

namespace {

std::vector<std::string> seen;
void grab(char *s) {
    seen.push_back(s);
}
void cut(char *s) {
    s[2] = 0;
}

class PrintTest : public ::testing::Test {
   protected:
    void SetUp() override {
        kvauth_setprint(nullptr);
        buf_clear();
        seen.clear();
    }
    void TearDown() override {
        kvauth_setprint(nullptr);
        buf_clear();
    }
};

TEST_F(PrintTest, CallbackOrCollection) {
    EXPECT_EQ(buf_print("+OK a\n"), 0);  // without a callback texts collect
    EXPECT_EQ(buf_print("+OK b\n"), 6);
    EXPECT_STREQ(buf_text(), "+OK a\n+OK b\n");
    buf_clear();
    EXPECT_STREQ(buf_text(), "");
    kvauth_setprint(grab);
    EXPECT_EQ(buf_print("+DATA %d\n", 1), 8);
    buf_print("+OK %s\n", "done");
    EXPECT_EQ(seen, (std::vector<std::string>{"+DATA 1\n", "+OK done\n"}));
    EXPECT_STREQ(buf_text(), "");
    kvauth_setprint(cut);  // the result is the length after the callback
    EXPECT_EQ(buf_print("+OK long text\n"), 2);
    kvauth_setprint(grab);  // long texts are cut at 3999
    EXPECT_EQ(buf_print("%s", std::string(5000, 'z').c_str()), 3999);
    EXPECT_EQ(seen.back().size(), 3999u);
}

}  // namespace
