// Password fields: verifying a given password against a stored field, in
// every scheme the server knows, and making the field that set stores, in
// the scheme chosen at start-up. Used by the engine's check and set
// (kvrules, kvset); the fast loop may call the verify and make steps on a
// worker thread for the fields that cost. Field formats: doc/passwords.md.
// Assumes: pass_hash_configure ran once at start-up, before any worker
// thread exists (until then the scheme is {ssha}); after it every function
// here reads only its arguments and that choice, writes no shared state and
// logs nothing, so any thread may call it.
#pragma once

#include <string>

// What verifying found: whether the password made the stored field, and
// what it hashed to under the field's salt (the log's line about a wrong
// password shows it; "" when no scheme took the field).
struct PassCheck {
    bool match;
    char crypted[200];
    // The field asks for more work than any field may (or for work this
    // server cannot bound): it was refused without hashing. The caller logs it.
    bool over_bound = false;
};

// Reads the scheme key; false with the reason in *why when the scheme or
// its cost cannot be used.
bool pass_hash_configure(std::string *why);
// The same from a value of the key given here ("" for the default {ssha}),
// for programs that read their configuration in their own way, and tests.
bool pass_hash_configure_from(const char *setting, std::string *why);

// The password against a stored hashed field (not a clear "*" one).
PassCheck pass_hash_verify(const char *stored, const char *pass);
// The field for pass in the configured scheme; false with the reason in
// *why when hashing failed.
bool pass_hash_make(const char *pass, std::string *field, std::string *why);
// The same in {ssha} whatever is configured: for bulk work that must stay
// cheap (testcrypt's thousand accounts).
bool pass_hash_make_ssha(const char *pass, std::string *field, std::string *why);

// True when verifying against stored, or making a field in the configured
// scheme, costs enough that the fast loop hands it to a worker thread.
bool pass_hash_costly(const char *stored);
bool pass_make_costly();
// True when stored is in another scheme than the configured one, or in the
// same with a lower cost: rehash stores the password again. Never with the
// default {ssha} configured: rehash only ever moves a site up.
bool pass_hash_outdated(const char *stored);
