// The user store under the engine's commands: where users are found, changed
// and walked, and what a store does before and after each request. The
// commands (check, lookup, search, set, mod, del, testcrypt) are written once
// over it; the engine's own files are one store (filestore.h), pgauth's
// PostgreSQL tables another. A program that uses another store than the
// files binds it at start-up with store_use. One thread, one request at a
// time; a store keeps its state in its own module.
#pragma once

// One user as a store holds it. The texts stay valid until the next call
// into the store.
struct UserView {
    const char *name;  // lowercased
    const char *pass;  // the password field as stored
    const char *info;  // may be longer than a reply takes: callers cut it
};

enum { STORE_FAILED = -1, STORE_MISSING = 0, STORE_FOUND = 1 };

struct UserStore {
    // Before and after one request that uses the store; writes tells whether
    // the request may change users. begin 0: the store cannot serve now
    // (failure says why).
    int (*begin)(bool writes);
    void (*end)(bool writes);
    // The user, case-blind: STORE_FOUND, STORE_MISSING or STORE_FAILED.
    int (*find)(const char *user, UserView *out);
    // Stores one change line (pass "(DELETE)" deletes; info "(BLOCK)" or
    // "(UNBLOCK)" marks; the name as the client sent it) and prints ack (when
    // not null) as soon as the change is kept. 1, or 0 with nothing changed
    // and failure set.
    int (*put)(const char *user, const char *pass, const char *info, const char *ack);
    // Calls fn for the users that may match pattern (lowercased; with a "*" a
    // wildcard over names, else a substring of name or information), in the
    // store's own order, until fn returns 0. A store may leave out users that
    // cannot match, never one that can. 1, 0 when fn stopped it, or
    // STORE_FAILED.
    int (*walk)(const char *pattern, int (*fn)(const UserView &u, void *arg), void *arg);
    // Number of users, or STORE_FAILED.
    long (*count)();
    // The reply line of the last failure, without line end.
    const char *(*failure)();
    // Forgets everything held in memory and lets go of files and connections.
    void (*close)();
    // A line help adds before its end, or null.
    const char *help_note;
};

// Binds the store that the commands use from now on; the engine's files
// until a program binds another.
void store_use(const UserStore *s);
const UserStore &store();

// Brackets one request: the store's begin and end run for the outermost
// pair only, so that a command calling another stays one request.
// store_enter's result is the store's begin's.
int store_enter(bool writes);
void store_leave(bool writes);

// Replies with the bound store's failure line.
void store_say_failure();
// The bound store's find; on STORE_FAILED the failure line is the reply.
int store_find(const char *user, UserView *out);
