// Rehash at login: with "rehash yes", a successful check of a password
// whose field is in another scheme (or cost) than the one set stores is
// followed by a change that stores the same password in that scheme,
// through the store's normal put (add file, change log, other processes,
// PostgreSQL and its notification). The check's reply never waits for it.
// Used by the check command (kvcmd); one thread.
#pragma once

#include <string>

// Reads the password keys (password_scheme through pass_hash_configure, and
// rehash); each program calls it once at start-up while its settings are
// loaded. False with the reason in *why when the scheme cannot be used.
bool rehash_configure(std::string *why);
// Turns rehash on or off (rehash_configure's setting).
void rehash_enable(bool on);

// After a successful check of pass against stored, the field of the user
// stored as name: notes the change when rehash is on, the field is hashed
// and outdated, and no rehash of name is under way.
void rehash_note(const char *name, const char *stored, const char *pass);
// Makes the noted change, in line or through the hand-off (kvoffload.h).
// Called once the check's request has left the store (its read steps), so
// that the change takes the store's write steps of its own.
void rehash_run();
// Rehashes under way (handed off and not yet finished).
int rehash_busy();
