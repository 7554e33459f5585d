// The user index: kvauth.txt loaded into 2000 hash buckets of USER records,
// the add-file replay over it and the record store behind it (kvstore.h).
// Used by the engine's readers (check, lookup, search), writers (set, mod,
// del, rebuild), the refresh and pgauth's import. Process-wide state, one
// thread; the build and the replay take the database lock (flock.h).
#pragma once

#include <cstdio>

constexpr int AUTH_BUCKETS = 2000;

// One user line. Records are owned by the index and change only through
// auth_fixup; an empty user name marks a deleted record.
struct USER {
    const char *user;  // lowercased
    const char *pass;  // the password field exactly as stored
    const char *info;
    USER *next;  // the next (older) record of the same bucket
};

// Empties the index and loads kvauth.txt under the database lock. 1, also when
// the file could not be read (the index is then empty); 0 only without lock.
int build_index(const char *reason);
int free_index();

// Replays the add file (or fname) over the index when it changed since the last replay.
void check_add();
void check_add_raw(const char *fname);

// Applies one change line ("(NULL)", "(DELETE)", "(BLOCK)", "(UNBLOCK)" markers) to the index.
void auth_fixup(const char *user, const char *pass, const char *info);

// The record that answers for user (case-blind; the newest of its name), or null.
const USER *auth_find(const char *user);
// 1 when the user exists and, when pass is not null, pass is its password
// (kvrules.h pass_verify). Loads the index and replays the add file first
// when they are not yet. Copies the user's info (at most 999 characters) into
// info (1000 bytes) whenever the user is found. Serves check, lookup, search
// and set/mod's existence test.
int db_check(const char *user, const char *pass, char *info);
// The stored password field of user, or "none"; valid until the index changes.
const char *db_pass(const char *user);

int str_hash(const char *s, int max);
char *strlwr(char *s);

// Size and change time (st_ctime) of an open file; 0 when fstat fails.
int f_size(FILE *f);
int f_cdate(FILE *f);

// Head of bucket b (0..AUTH_BUCKETS-1); walk on with next. Deleted records
// (empty name) are in the chains too. This is the order rebuild and search use.
const USER *auth_bucket(int b);
// Calls fn for every live record in bucket order, each bucket from its head;
// stops when fn returns 0. 1 when the walk finished, 0 when fn stopped it.
int auth_walk(int (*fn)(const USER *u, void *arg), void *arg);

// Rebuilds the index from its live records, chains in the same order, when a
// quarter of it is garbage: drops deleted records and every string that a
// change superseded. 1 when it did.
int compact_index();

// Replay and build state.
int auth_index_built();      // done_build_index
int auth_add_replayed();     // done_check_add
void set_add_file_reread();  // the next replay reads the add file whole
int auth_user_count();       // total_user_count

// Bytes held by the index (records, name index and string pool).
long auth_index_bytes();

// Forgets the index, the pool and every flag: the state of a new process.
// Part of the file store's close (filestore.h).
void kvindex_close();
