// The rebuild: folds the add file into a fresh kvauth.txt written from the
// index, keeps the one-generation backup and the change log. Used by the
// writers (kvset.h) and by the command interpreter. Runs under the database
// lock; one thread.
#pragma once

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
