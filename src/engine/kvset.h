// The writing commands over the user store (userstore.h): set, mod and del,
// with the refusals and the password encoding that hold for every store. The
// file store appends change lines to kvauth.add and the change log and
// rebuilds when the add file has grown (filestore.h). Used by the command
// interpreter. One thread; the store's request steps (the file store's lock)
// are taken here unless a _raw form is called.
#pragma once

// Adds or replaces a user (pass "(NULL)" keeps the stored password). The
// _raw forms run inside a request already begun. 1 when the change was kept;
// 0 also when the password's hash was handed off (kvoffload.h) and the
// change is made, and answered, when it is done.
int auth_set(const char *user, const char *pass, const char *info);
int auth_set_raw(const char *user, const char *pass, const char *info);
// auth_set in the engine's own {ssha} whatever scheme set stores in: the
// self-test's accounts (testcrypt).
int auth_set_ssha(const char *user, const char *pass, const char *info);
// Sets or replaces one var="val" pair of a user's information. Always 1.
int auth_mod(const char *user, const char *pass, const char *addinfo);
int auth_mod_raw(const char *user, const char *pass, const char *addinfo);
// Deletes a user; silent suppresses the success reply. 1 when kept.
int auth_del(const char *user, int silent);
int auth_del_raw(const char *user, int silent);

// The stored form of a given password: "*clear" unchanged, else "{ssha}" and
// its digest. The result lives in a buffer that the next call overwrites.
const char *str_encode(const char *s);
