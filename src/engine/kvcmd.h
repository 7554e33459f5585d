// The engine's command interpreter: splits a command line into its word and
// arguments and runs it from the one command table, which also says which
// commands write; the commands that use users run between the user store's
// before and after steps (userstore.h), whichever store is bound. Used
// through engine_request, one request from its line to its last reply, by
// the session (engine mode) and the authenticator programs; the pieces below
// are open for the tests. Replies leave through buf_print (kvprint.h). One thread; runs a
// command to its end.
#pragma once

#include "engine/kvprint.h"

// Runs one command line (modified in place) with its replies to sink: binds
// the sink for the length of the request and unbinds it however the request
// ends, so that nothing printed later reaches a destination that may be
// gone. Always 1.
int engine_request(char *line, const ReplySink &sink);

// The work a request leaves for after its reply (a rehash after a check):
// the callers of engine_request call it once the reply is sent or queued, so
// that the reply does not wait for it.
void engine_after_reply();

// Parses and executes one engine command line (modified in place), with the
// store's request steps around it; always 1.
int do_command(char *line);

// One command line split into the command word and up to three arguments,
// each at most 999 characters.
struct CmdLine {
    char cmd[1000];  // lowercased; "nocommand" when the line has no token
    char p1[1000];
    char p2[1000];
    char p3[1000];  // the rest of the line after p2, blanks kept
};

// The words of the command set, in its order: null when i is past the last.
const char *cmd_word(int i);

// Splits line as do_command does; line is not modified.
void cmd_split(const char *line, CmdLine *out);

// The search options of "search pattern p2 p3": -from and -max, either order.
void search_options(const char *p2, const char *p3, int *from, int *max);

// atoi without its undefined overflow: white space, a sign, digits; values
// beyond int are clamped.
int cmd_atoi(const char *s);

// The check command over the bound store: prints one reply line; 1
// accepted, 0 refused (or the store failed). When the stored field's hash
// costs and a hand-off is bound (kvoffload.h), 0 and the line comes later.
int auth_check(const char *user, const char *pass);

// "+OK kvauth 4.0e".
void do_vers();
// Sets and checks the accounts test0 to test999 in the engine's own {ssha},
// whatever scheme set stores in, without rehash; 2000 reply lines. Always 1.
int auth_testcrypt();
