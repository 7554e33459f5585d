// Lookup and search over the index, and the wildcard and case-blind matchers
// they use. Used by the command interpreter. Reads the index only; one thread.
#pragma once

// The lookup command: one reply line; 1 found, 0 not.
int auth_lookup(const char *user);
// The search command (match is lowercased in place): "+DATA" lines for the
// matches from number from on, at most max of them (0: no limit), then the
// end line. Returns the match counter.
int auth_search(char *match, int from, int max);

enum { WM_FALSE = 0, WM_TRUE = 1, WM_ABORT = -1 };
// 1 when wild is "*" or wmatch gives WM_TRUE.
int wild_match(const char *wild, const char *text);
// Wildcard match with *, ?, [classes], [^negated], ranges and \ escapes.
int wmatch(const char *text, const char *wild);
// First position of s2 in s1 ignoring ASCII case, or null.
const char *zstrstrnc(const char *s1, const char *s2);
// Case-blind comparison of at most n characters (the first ones even when n is 0).
int zstrncmpnc(const char *s1, const char *s2, int n);
