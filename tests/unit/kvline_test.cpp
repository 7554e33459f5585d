// The vectors of doc/database.md: lines and what they read back as, fields
// and whether a writer may store them; every stored line reads back whole.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "engine/kvline.h"

namespace {
using S = std::string;

// "name|password|information", or why the line is left out ("-": no record).
S read_back(const S &line) {
    KvLine l{};
    const char *fault = nullptr;
    if (!kvline_parse(line.data(), line.size(), &l, &fault)) return fault ? fault : "-";
    return S(l.user, l.user_len) + "|" + S(l.pass, l.pass_len) + "|" + S(l.info, l.info_len);
}

TEST(KvLine, ReadVectors) {
    const S v(101, 'v'), p(149, 'p'), at_max = "u:p:" + S(994, 'i');
    const std::pair<S, S> rows[] = {
        {"bob:secret:info here\n", "bob|secret|info here"},
        {"bob:pw: lead blank:with:colons\n", "bob|pw| lead blank:with:colons"},
        {"bob:pw", "bob|pw|"},
        {"::bob::pw:i\n", "bob|pw|i"},
        {"bob pw info x\n", "bob|pw|info x"},
        {"bob\tpw\tinfo\tx\n", "bob|pw|info\tx"},
        {"b\xe9:pw:\xff\n", "b\xe9|pw|\xff"},
        {"bob:*pw:i\r\n", "bob|*pw|i"},
        {v + ":*" + p + ":\n", v + "|*" + p + "|"},
        {at_max + "\n", "u|p|" + S(994, 'i')},
        {"bob\n", "-"},
        {"", "-"},
        {" \t :\n", "-"},
        {at_max + "i\n", "too long"},
        {S("x\0y:*p:\n", 8), "unreadable"},
        {"bob:*pw:a\001b\n", "unreadable"},
        {"bob:*pw\x7f:\n", "unreadable"},
        {"bob:*p\rw:\n", "unreadable"},
        {"bob:*pw:i\r", "unreadable"},
    };
    for (const auto &[line, want] : rows) EXPECT_EQ(read_back(line), want) << line;
}

TEST(KvLine, WriteVectorsReadBackWhole) {
    const std::pair<std::array<S, 3>, KvFault> rows[] = {
        {{"bob", "*pw", "a:b c\td e=\"f\""}, KVLINE_OK},
        {{S(255, 'n'), "$6$0123456789abcdef$" + S(86, 'h'), " (BLOCK)"}, KVLINE_OK},
        {{"u", "p", S(994, 'i')}, KVLINE_OK},
        {{"u", "p", S(995, 'i')}, KVLINE_TOO_LONG},
        {{"a b", "*pw", ""}, KVLINE_BAD_USER},
        {{"", "*pw", ""}, KVLINE_BAD_USER},
        {{"a\x7f", "*pw", ""}, KVLINE_BAD_USER},
        {{"bob", "*a:b", ""}, KVLINE_BAD_PASS},
        {{"bob", "", ""}, KVLINE_BAD_PASS},
        {{"bob", "*pw\x7f", ""}, KVLINE_BAD_PASS},
        {{"bob", "*pw", "a\001b"}, KVLINE_BAD_INFO},
        {{"bob", "*pw", "a\rb"}, KVLINE_BAD_INFO},
    };
    for (const auto &[f, fault] : rows) {
        EXPECT_EQ(kvline_check(f[0].c_str(), f[1].c_str(), f[2].c_str()), fault) << f[0] << f[2];
        if (fault != KVLINE_OK) continue;
        EXPECT_EQ(read_back(kvline_format(f[0].c_str(), f[1].c_str(), f[2].c_str())),
                  f[0] + "|" + f[1] + "|" + f[2]);
    }
}

}  // namespace
