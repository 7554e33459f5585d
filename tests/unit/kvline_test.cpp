// The vectors of doc/database.md: lines and what they read back as, fields
// and whether a writer may store them. Every line a writer accepts reads
// back as its fields.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "engine/kvline.h"

namespace {
using S = std::string;

TEST(KvLine, ReadVectors) {
    const S v(101, 'v'), at_max = "u:p:" + S(994, 'i');
    const S rows[][4] = {
        // line, then name | password | information, or "-" and the fault
        {"bob:secret:info here\n", "bob", "secret", "info here"},
        {"bob:pw: lead blank:with:colons\n", "bob", "pw", " lead blank:with:colons"},
        {"bob:pw", "bob", "pw", ""},
        {"::bob::pw:i\n", "bob", "pw", "i"},
        {"bob pw info x\n", "bob", "pw", "info x"},
        {"bob\tpw\tinfo\tx\n", "bob", "pw", "info\tx"},
        {"Bob:Pw:I\n", "Bob", "Pw", "I"},
        {"b\xe9:pw:\xff\n", "b\xe9", "pw", "\xff"},
        {"bob:*pw:i\r\n", "bob", "*pw", "i"},
        {v + ":*" + S(149, 'p') + ":\n", v, "*" + S(149, 'p'), ""},
        {at_max + "\n", "u", "p", S(994, 'i')},
        {"bob\n", "-", "", ""},
        {"", "-", "", ""},
        {" \t :\n", "-", "", ""},
        {at_max + "i\n", "-", "too long", ""},
        {S("x\0y:*p:\n", 8), "-", "unreadable", ""},
        {"bob:*pw:a\x01"
         "b\n",
         "-", "unreadable", ""},
        {"bob:*pw\x7f:\n", "-", "unreadable", ""},
        {"bob:*p\rw:\n", "-", "unreadable", ""},
        {"bob:*pw:i\r", "-", "unreadable", ""},
    };
    for (const auto &r : rows) {
        KvLine l{};
        const char *fault = nullptr;
        const int got = kvline_parse(r[0].data(), r[0].size(), &l, &fault);
        if (r[1] == "-") {
            EXPECT_EQ(got, 0) << r[0];
            EXPECT_EQ(S(fault ? fault : ""), r[2]) << r[0];
        } else {
            ASSERT_EQ(got, 1) << r[0];
            EXPECT_EQ(
                S(l.user, l.user_len) + "|" + S(l.pass, l.pass_len) + "|" + S(l.info, l.info_len),
                r[1] + "|" + r[2] + "|" + r[3]);
        }
    }
}

TEST(KvLine, WriteVectorsReadBackWhole) {
    const S long_pass = "$6$0123456789abcdef$" + S(86, 'h');
    const std::pair<std::array<S, 3>, KvFault> rows[] = {
        {{"bob", "*pw", "a:b c\td e=\"f\""}, KVLINE_OK},
        {{S(255, 'n'), long_pass, " (BLOCK)"}, KVLINE_OK},
        {{"u", "p", S(994, 'i')}, KVLINE_OK},
        {{"u", "p", S(995, 'i')}, KVLINE_TOO_LONG},
        {{"a b", "*pw", ""}, KVLINE_BAD_USER},
        {{"", "*pw", ""}, KVLINE_BAD_USER},
        {{"a\x7f", "*pw", ""}, KVLINE_BAD_USER},
        {{"bob", "*a:b", ""}, KVLINE_BAD_PASS},
        {{"bob", "", ""}, KVLINE_BAD_PASS},
        {{"bob", "*pw\x7f", ""}, KVLINE_BAD_PASS},
        {{"bob", "*pw",
          "a\x01"
          "b"},
         KVLINE_BAD_INFO},
        {{"bob", "*pw", "a\rb"}, KVLINE_BAD_INFO},
    };
    for (const auto &[f, fault] : rows) {
        EXPECT_EQ(kvline_check(f[0].c_str(), f[1].c_str(), f[2].c_str()), fault) << f[0] << f[2];
        if (fault != KVLINE_OK) continue;
        const S line = kvline_format(f[0].c_str(), f[1].c_str(), f[2].c_str());
        KvLine l{};
        const char *why = nullptr;
        ASSERT_EQ(kvline_parse(line.data(), line.size(), &l, &why), 1) << line;
        EXPECT_EQ(S(l.user, l.user_len) + "|" + S(l.pass, l.pass_len) + "|" + S(l.info, l.info_len),
                  f[0] + "|" + f[1] + "|" + f[2]);
    }
}

}  // namespace
