// pgauth's user store: the users in PostgreSQL (pgdb.h), one table, every
// change in its own transaction, with a per-process cache in front that
// PostgreSQL keeps exact: every change of a user row notifies (a trigger,
// whoever changes it), and before each look the cache drops what the
// notifications name. No time-to-live: an entry is right until a notification
// says otherwise. Negative answers (no such user) are cached the same way.
//
// While PostgreSQL is unreachable, or once the connection broke, nothing is
// answered from the cache: notifications are lost then, and a password
// changed or a user blocked on another host in that time would still pass.
// The cache is emptied, requests get the failure line, and after the
// reconnection (which listens again before anything is read) it fills anew.
//
// The cache holds at most kCacheBytes; when an entry would pass that, the
// whole cache is dropped and fills again (a working set that large does not
// fit anyway, and dropping all keeps every look O(1)).
//
// Used by pgauth's start-up (store_use) and its import. One thread.
#pragma once

#include <cstddef>
#include <string>

#include "engine/userstore.h"

const UserStore &pg_store();

// Applies one change line as the engine's add file holds it ("(NULL)",
// "(DELETE)", "(BLOCK)" and "(UNBLOCK)" markers included) inside the open
// transaction. stored receives the password field the line resolves to.
// 1, or 0 with pgdb_error().
int pg_apply(const char *user, const char *pass, const char *info, std::string *stored);

// ASCII lowercase of at most max bytes of s, as the engine keys its names.
std::string pg_lower(const char *s, size_t max = 999);

// The cache's bound, and what one entry costs beyond its three texts: the
// hash node with its key and two strings, and its bucket.
constexpr size_t PG_CACHE_BYTES = 64u << 20;
constexpr size_t PG_CACHE_ENTRY = 160;
// Entries held now.
size_t pg_cache_size();
