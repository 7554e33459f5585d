// The user-database engine as seen from outside it: the command interpreter,
// its output routine and start-up. Used by the session layer (engine mode),
// the server's start-up and the kvauth program.
#pragma once

// Parses and executes one engine command line (modified in place); always 1.
int do_command(char *line);

// Every engine reply leaves through buf_print: one call, one reply text.
int buf_print(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int buf_clear();
void kvauth_setprint(void (*pr)(char *));

// Builds the in-memory index at start-up in engine mode.
int auth_init();
// Sets the engine directory (at most 200 characters).
int kvauth_set_path(const char *s);
