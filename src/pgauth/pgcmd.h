// pgauth's command set on PostgreSQL: the engine's commands and reply lines
// (check, lookup, search, set, mod, del, testcrypt, version, help), with the
// users in one table and every change in one transaction. Used by pgauth's
// main loop and its import; open for the tests.
// Replies through the pipe framing (authproc/pipeframe.h). One thread.
#pragma once

#include <cstdio>
#include <string>

// Runs one request line (modified) and writes its reply lines to out, the
// last and only the last beginning with "+OK" or "-ERR".
void pgauth_request(char *line, FILE *out);
// Serves requests from in until end of input. Returns the number served.
int pgauth_serve(FILE *in, FILE *out);

// Applies one change line as the engine's add file holds it ("(NULL)",
// "(DELETE)", "(BLOCK)" and "(UNBLOCK)" markers included) inside the open
// transaction. stored receives the password field the line resolves to.
// 1, or 0 with pgdb_error().
int pg_apply(const char *user, const char *pass, const char *info, std::string *stored);

// ASCII lowercase of at most max bytes of s, as the engine keys its names.
std::string pg_lower(const char *s, size_t max = 999);
