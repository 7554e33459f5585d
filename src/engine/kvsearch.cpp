#include "engine/kvsearch.h"

// Lookup and search over the user index, and their case-blind substring and
// wildcard matchers.
#include <cstring>

#include "core/emsg.h"
#include "engine/kvprint.h"
#include "engine/kvindex.h"
#include "engine/filestore.h"
#include "engine/userstore.h"
#include "lib/lib.h"

namespace {
struct CharMap {
    unsigned char map[256];
    constexpr CharMap() : map() {
        for (int i = 0; i < 256; i++)
            map[i] = static_cast<unsigned char>((i >= 'A' && i <= 'Z') ? i - 'A' + 'a' : i);
    }
};
constexpr CharMap charmap;

unsigned char cm(char c) {
    return charmap.map[static_cast<unsigned char>(c)];
}
signed char sc(char c) {
    return static_cast<signed char>(c);
}

enum class Kind { kAll, kWild, kSubstring };

bool matches(const char *match, Kind kind, const UserView &u) {
    switch (kind) {
        case Kind::kAll:
            return true;
        case Kind::kWild:
            return wild_match(match, u.name) == 1;
        default:
            return zstrstrnc(u.name, match) || zstrstrnc(u.info, match);
    }
}

// Paging of search: matches number from to from + max - 1 are shown, and
// the walk stops at match from + max, which still counts.
struct Search {
    const char *match;
    Kind kind;
    int from, max, found = 0;
    bool show = true;
};

int take(const UserView &u, void *arg) {
    Search &s = *static_cast<Search *>(arg);
    if (!matches(s.match, s.kind, u)) {
        if (strcmp(u.name, s.match) == 0)
            dmsg("ERROR: strcmp matched %s %s when zstrstrnc didn't!\n", u.name, u.info);
        return 1;
    }
    s.found++;
    if (s.found >= s.from) s.show = true;
    if (!s.show) return 1;
    if (s.max != 0 && s.found - s.from >= s.max) return 0;
    buf_print("+DATA %s %s\n", u.name, u.info);
    return 1;
}
}  // namespace

int zstrncmpnc(const char *s1, const char *s2, int n) {
    for (;;) {
        unsigned char c2 = cm(*s2++);
        unsigned char c1 = cm(*s1);
        if (c1 != c2) return c1 - c2;
        if (*s1 == 0) return 0;
        s1++;
        if (--n < 1) return 0;
    }
}

const char *zstrstrnc(const char *s1, const char *s2) {
    int n = static_cast<int>(strlen(s2));
    for (const char *p = s1; *p; p++)
        if (zstrncmpnc(p, s2, n) == 0) return p;
    return nullptr;
}

int wmatch(const char *text, const char *wild) {
    if (!text || !wild) return WM_FALSE;
    const char *p = wild;
    for (; *p; text++, p++) {
        if (*text == 0 && *p != '*') return WM_ABORT;
        switch (*p) {
            case '?':
                break;
            case '\\':
                p++;  // the escaped byte is an ordinary one; a trailing \ compares its NUL
                if (*text != *p) return WM_FALSE;
                if (*p == 0) return WM_FALSE;
                break;
            case '*': {
                while (*++p == '*') {
                }
                if (*p == 0) return WM_TRUE;
                for (; *text; text++) {
                    int m = wmatch(text, p);
                    if (m != WM_FALSE) return m;
                }
                return WM_ABORT;
            }
            case '[': {
                bool reverse = p[1] == '^';
                if (reverse) p++;
                bool matched = false;
                if (p[1] == ']' || p[1] == '-')
                    if (*++p == *text) matched = true;
                for (char last = *p; p[1] && p[1] != ']'; last = *p) {
                    ++p;
                    if (*p == '-' && p[1] != ']' && p[1] != 0) {
                        ++p;
                        if (sc(*text) <= sc(*p) && sc(*text) >= sc(last)) matched = true;
                    } else if (*text == *p) {
                        matched = true;
                    }
                }
                // No closing "]": no text can match this pattern anywhere.
                if (p[1] == 0) return WM_ABORT;
                p++;  // onto the "]"
                if (matched == reverse) return WM_FALSE;
                break;
            }
            default:
                if (*text != *p) return WM_FALSE;
                break;
        }
    }
    return *text == 0 ? WM_TRUE : WM_FALSE;
}

int wild_match(const char *wild, const char *text) {
    if (!wild) return 0;
    if (strcmp(wild, "*") == 0) return 1;
    return wmatch(text, wild) == WM_TRUE ? 1 : 0;
}

int auth_lookup(const char *user) {
    // The engine's test name; a store shared by several hosts does not stall.
    if (&store() == &file_store() && strstr(user, "test_sleep_now")) lib_sleep(120);
    imsg("db_check(%s,'NULL')\n", user);
    UserView u;
    int found = store_find(user, &u);
    if (found == STORE_FAILED) return 0;
    if (!found) {
        imsg("User not found (%s)\n", user);
        buf_print("-ERR %s not found\n", user);
        return 0;
    }
    print_found(user, u.info);
    return 1;
}

int auth_search(char *match, int from, int max) {
    strlwr(match);
    long total = store().count();
    if (total == STORE_FAILED) {
        store_say_failure();
        return 0;
    }
    Search s{match,
             !strchr(match, '*')       ? Kind::kSubstring
             : strcmp(match, "*") == 0 ? Kind::kAll
                                       : Kind::kWild,
             from, max};
    if (s.from == 0)
        s.from = 1;
    else if (s.from > 1)
        s.show = false;
    if (store().walk(match, take, &s) == STORE_FAILED) {
        store_say_failure();
        return s.found;
    }
    buf_print("+OK Search Complete %d items found out of %ld\n", s.found, total);
    return s.found;
}
