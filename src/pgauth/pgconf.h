// pgauth's connection settings: the pg_ keys of a
// configuration file in the server's key-value form (by default the server's
// own file, which ignores keys it does not know). Used by pgauth's start-up.
// One thread.
#pragma once

#include <string>

struct PgSettings {
    std::string host;            // host name or socket directory; "" for libpq's default
    std::string port;            // "" for libpq's default
    std::string database;        // "" for the user's name
    std::string user;            // "" for the name of the process's user (peer authentication)
    std::string password;        // first line of pg_password_file; "" for none
    std::string target;          // libpq's target_session_attrs ("read-write"); "" for any
    int connect_timeout = 5;     // seconds
    int statement_timeout = 10;  // seconds
};

// Reads the pg_ keys of the file at path into out (keys it lacks keep their
// defaults). 1 when the file was read, 0 when it could not be opened (err
// then holds the reason) or its password file could not be read.
int pgconf_load(const char *path, PgSettings *out, std::string *err);

// Parses one configuration line: the key, one separator, then the value up to
// a tab or line end. Empty key for a blank line.
void pgconf_line(const char *line, std::string *key, std::string *value);
