#include "engine/kvsearch.h"

// Lookup and search over the user index, and their case-blind substring and
// wildcard matchers.
#include <cstring>

#include "core/emsg.h"
#include "engine/kvprint.h"
#include "engine/kvindex.h"
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

bool matches(const char *match, Kind kind, const USER *u) {
    switch (kind) {
        case Kind::kAll:
            return true;
        case Kind::kWild:
            return wild_match(match, u->user) == 1;
        default:
            return zstrstrnc(u->user, match) || zstrstrnc(u->info, match);
    }
}

// How many records ahead of the walk their strings are requested from memory:
// chains are contiguous but the strings are not, and waiting for each one in
// turn would dominate a search of a large index.
constexpr int kPrefetch = 8;
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
    if (strstr(user, "test_sleep_now")) lib_sleep(120);
    char info[1000] = "";
    if (db_check(user, nullptr, info)) {
        print_found(user, info);
        return 1;
    }
    buf_print("-ERR %s not found\n", user);
    return 0;
}

int auth_search(char *match, int from, int max) {
    int show = 1;
    int found = 0;
    if (!auth_index_built()) build_index("search");
    if (!auth_add_replayed()) check_add();
    strlwr(match);
    Kind kind = !strchr(match, '*')       ? Kind::kSubstring
                : strcmp(match, "*") == 0 ? Kind::kAll
                                          : Kind::kWild;
    if (from == 0)
        from = 1;
    else if (from > 1)
        show = 0;
    for (int b = 0; b < AUTH_BUCKETS; b++) {
        const USER *ahead = auth_bucket(b);
        for (int i = 0; i < kPrefetch && ahead; i++) ahead = ahead->next;
        for (const USER *u = auth_bucket(b); u; u = u->next) {
            if (ahead) {
                __builtin_prefetch(ahead->user);
                ahead = ahead->next;
            }
            if (!u->user[0]) {
                dmsg("debug: empty slot in database (deleted/changed user).\n");
                continue;
            }
            if (!matches(match, kind, u)) {
                if (strcmp(u->user, match) == 0)
                    dmsg("ERROR: strcmp matched %s %s when zstrstrnc didn't!\n", u->user, u->info);
                continue;
            }
            found++;
            if (found >= from) show = 1;
            if (!show) continue;
            if (max != 0 && found - from >= max) goto done;
            buf_print("+DATA %s %s\n", u->user, u->info);
        }
    }
done:
    buf_print("+OK Search Complete %d items found out of %d\n", found, auth_user_count());
    return found;
}
