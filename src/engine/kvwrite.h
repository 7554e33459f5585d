// The engine's writers: set, mod and del append change lines to kvauth.add
// and the change log under the database lock and apply them to the index;
// the rebuild folds the add file into kvauth.txt. Used by the interpreter.
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

// 1 when a user name is refused (separators, quotes, bytes outside 32..126,
// two "@", or local-part punctuation), 0 when it is acceptable.
int username_badchar(const char *user);
// The stored form of a given password: "*clear" unchanged, else "{ssha}" and
// its digest. The result lives in a buffer that the next call overwrites.
const char *str_encode(const char *s);

// Writes kvauth.txt afresh from the index and retires the add file (or a
// kvauth.add_old left by an unfinished rebuild). 1 when the new file was
// written, 0 when it could not be.
int auth_rebuild();
// Writes kvauth.bck from the index unless it exists. 1 when written.
int auth_write_backup();
// Appends "user:pass:info" to the change log kvauth.clg. 1 when appended.
int auth_changelog(const char *user, const char *pass, const char *info);
// 1 when fname exists (also when it exists but cannot be read), 0 when not.
int auth_lib_exists(const char *fname);

// The add-file size in bytes above which an addition rebuilds; 0 until the
// first addition consults it.
int auth_rebuild_size();
