#include "net/chan.h"
#include "net/acl.h"

#include <gtest/gtest.h>

#include <cstring>
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

TEST(ChanLines, SplittingAndGrowth) {
    struct Case {
        std::vector<std::string> reads;
        std::vector<std::string> lines;
        std::string rest;
        int stop = -1;
    } cases[] = {{{"one\r\ntwo\n"}, {"one", "two"}, ""},
                 {{"a\rb\r\n"}, {"a\rb"}, ""},
                 {{"\n\r\n"}, {"", ""}, ""},
                 {{"hal", "f\nmore"}, {"half"}, "more"},
                 {{"x\r\r\n"}, {"x\r"}, ""},
                 // A NUL ends the scan: nothing behind it is ever delivered.
                 {{std::string("ab\0c\nd\n", 7)}, {}, std::string("ab\0c\nd\n", 7)},
                 // The buffer still starts at the line whose handler stopped.
                 {{"first\nsecond\n"}, {"first"}, std::string("first\0second\n", 13), 1}};
    for (const auto &tc : cases) {
        Chan c;
        got.clear();
        stop_after = tc.stop;
        for (const auto &r : tc.reads) {
            feed(c, r);
            chan_lines(&c, collect);
        }
        EXPECT_EQ(got, tc.lines);
        EXPECT_EQ(rest(c), tc.rest);
    }
    stop_after = -1;
    Chan c;
    feed(c, "");
    int first = 0;
    while (chan_growin(&c)) first = first ? first : c.insz;
    EXPECT_EQ(first, 9000);
    EXPECT_EQ(c.insz, 10239000);
}

TEST(Acl, ListsAndMatches) {
    using Rows = std::vector<std::pair<const char *, const char *>>;
    // clang-format off
    const Rows admitted = {
        {"", "203.0.113.9"}, {"::ffff:127.0.0.1", "127.0.0.1"}, {"127.0.0.2", "127.0.0.2"},
        {"::ffff:10.0.0.0/104", "::ffff:10.9.8.7"}, {"10.0.0.0/8,192.0.2.0/24", "10.255.1.2"},
        {"192.0.2.128/25", "192.0.2.200"}, {"0.0.0.0/0", "198.51.100.1"}, {"::1", "::1"},
        {"10.0.0.0/8", "::ffff:10.1.2.3"}, {"2001:db8::/32", "2001:db8:ffff::1"},
        {"fe80::/10", "febf::1"}};
    const Rows refused = {
        {"127.0.0.2", "127.0.0.1"}, {"127.0.0.2/32", "127.0.0.3"}, {"10.0.0.0/8", "::1"},
        {"10.0.0.0/8, 192.0.2.0/24", "192.0.3.1"}, {"192.0.2.128/25", "192.0.2.127"},
        {"::1", "127.0.0.1"}, {"2001:db8::/33", "2001:db8:8000::1"}};
    const Rows invalid = {
        {"10.0.0.0/33", "10.0.0.1"}, {"::/129", "::1"}, {"10.0.0.0/", "10.0.0.1"},
        {"10.0.0.0/-1", "10.0.0.1"}, {"host.example", "10.0.0.1"}, {"10.0.0.1", "10.0.0.0/8"},
        {" , ", "::1"}, {"::ffff:10.0.0.0/95", "10.0.0.1"}};
    // clang-format on
    for (int want : {1, 0, -1})
        for (const auto &[list, addr] : want == 1 ? admitted : want == 0 ? refused : invalid)
            EXPECT_EQ(acl_check(list, addr), want) << list << " " << addr;
    std::string bad;
    EXPECT_EQ(acl_set("127.0.0.1 300.1.1.1", &bad), 0);
    EXPECT_EQ(bad, "300.1.1.1");
}
