// The engine's writers: set, mod and del append change lines to kvauth.add
// and the change log under the database lock and apply them to the index,
// and start the rebuild (kvrebuild.h) when the add file has grown. Used by the
// command interpreter, the authenticator-process loop and pgauth's import.
// One thread; the lock is taken here unless a _raw form is called.
#pragma once

// Adds or replaces a user (pass "(NULL)" keeps the stored password). The
// _raw forms run without taking the lock. 1 when the line was appended.
int auth_set(const char *user, const char *pass, const char *info);
int auth_set_raw(const char *user, const char *pass, const char *info);
// Sets or replaces one var="val" pair of a user's information. Always 1.
int auth_mod(const char *user, const char *pass, const char *addinfo);
int auth_mod_raw(const char *user, const char *pass, const char *addinfo);
// Deletes a user; silent suppresses the success reply. 1 when appended.
int auth_del(const char *user, int silent);
int auth_del_raw(const char *user, int silent);

// The stored form of a given password: "*clear" unchanged, else "{ssha}" and
// its digest. The result lives in a buffer that the next call overwrites.
const char *str_encode(const char *s);

// The add-file size in bytes above which an addition rebuilds; 0 until the
// first addition consults it.
int auth_rebuild_size();
