#include "net/chan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {
std::vector<std::string> got;
int stop_after = -1;

int collect(Chan *, char *line) {
    got.emplace_back(line);
    return static_cast<int>(got.size()) != stop_after;
}

// Puts bytes into a channel's input buffer as a read would.
void feed(Chan &c, const std::string &bytes) {
    if (!c.in) {
        c.insz = 4000;
        c.in.reset(static_cast<char *>(malloc(4001)));
    }
    memcpy(c.in.get() + c.inat, bytes.data(), bytes.size());
    c.inat += static_cast<int>(bytes.size());
    c.in.get()[c.inat] = 0;
}

std::string rest(const Chan &c) {
    return std::string(c.in.get(), static_cast<size_t>(c.inat));
}
}  // namespace

TEST(ChanLines, Splitting) {
    struct Case {
        std::vector<std::string> reads;
        std::vector<std::string> lines;
        std::string rest;
    } cases[] = {
        {{"one\r\ntwo\n"}, {"one", "two"}, ""},
        {{"a\rb\r\n"}, {"a\rb"}, ""},
        {{"\n\r\n"}, {"", ""}, ""},
        {{"hal", "f\nmore"}, {"half"}, "more"},
        {{"x\r\r\n"}, {"x\r"}, ""},
        // A NUL ends the scan: nothing behind it is ever delivered.
        {{std::string("ab\0c\nd\n", 7)}, {}, std::string("ab\0c\nd\n", 7)},
    };
    for (const auto &tc : cases) {
        Chan c;
        got.clear();
        stop_after = -1;
        for (const auto &r : tc.reads) {
            feed(c, r);
            chan_lines(&c, collect);
        }
        EXPECT_EQ(got, tc.lines);
        EXPECT_EQ(rest(c), tc.rest);
    }
}

TEST(ChanLines, HandlerStopKeepsTheRest) {
    Chan c;
    got.clear();
    stop_after = 1;
    feed(c, "first\nsecond\n");
    chan_lines(&c, collect);
    EXPECT_EQ(got, std::vector<std::string>{"first"});
    // The buffer still starts at the line whose handler stopped.
    EXPECT_EQ(std::string(c.in.get()), "first");
    stop_after = -1;
}

TEST(ChanGrow, CapacitiesAndLimit) {
    Chan c;
    feed(c, "");
    std::vector<int> sizes;
    while (chan_growin(&c)) sizes.push_back(c.insz);
    ASSERT_FALSE(sizes.empty());
    EXPECT_EQ(sizes.front(), 9000);
    EXPECT_EQ(sizes.back(), 10239000);
}
