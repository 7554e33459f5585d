// Moving users between the engine's files and PostgreSQL: import replays
// kvauth.txt and add files into the table, export writes the table in the
// engine's line format. Used by pgauth's -import and -export.
// One thread.
#pragma once

#include <cstdio>
#include <string>

// Replays every line of the engine file at path (kvauth.txt or an add file,
// markers included) in one transaction, read as the engine reads it: a line
// the engine leaves out is left out and named on standard error. The number
// of lines applied, or -1 with err set (nothing of the file is then stored).
long pgauth_import(const char *path, std::string *err);
// Writes every user as a database line, ordered by name, from one snapshot.
// The number of users, or -1 with err set, also when a user cannot be
// written as a line that reads back as that user.
long pgauth_export(FILE *out, std::string *err);
