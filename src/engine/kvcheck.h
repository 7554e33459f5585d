// The password check: the check command and db_check, which set and mod use
// to verify a given password. Used by the command interpreter and the writers
// (kvset.h). Reads the index only; one thread.
#pragma once

// 1 when the user exists and, when pass is not null, pass is its password.
// Copies the user's info (at most 999 characters) into info (1000 bytes)
// whenever the user is found.
int db_check(const char *user, const char *pass, char *info);
// The check command: prints one reply line; 1 accepted, 0 refused.
int auth_check(const char *user, const char *pass);
// The drop path of a user's reply line: always "config".
const char *kvdrop_path(const char *user);
