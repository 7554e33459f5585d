// kvauth: the engine as an authenticator program for the server's pool. It
// reads one request (a command and its arguments) per line on its input,
// runs it through the command interpreter and answers with LF-ended lines,
// the last (and only the last) starting with "+OK" or "-ERR". Used by
// programs/kvauth.cpp; the pieces are open for the tests.
// Each request runs as one engine request over the file store, its replies
// framed for the pipe (pipeframe.h); one thread, one request at a time.
#pragma once

#include <cstdio>
#include <string>

// The whole program: options, engine directory, then requests until end of
// input on standard input. Returns the exit status.
int kvauth_main(int argc, char **argv);

// Sets the engine directory: dir when not empty, else the kvauth_path key of
// the configuration file conf (when it can be read and sets the key), else
// the engine keeps its own rule. 1 when a directory was set, 0 when not.
// The file's password_scheme is kept for kvauth_main to configure.
int authloop_set_dir(const char *dir, const char *conf);
// Reads what an authenticator takes from the configuration file set with
// ini_file_set: the password keys (rehash_configure) and kvauth_path, into
// *path; then forgets every setting. False with the reason in *why when the
// password keys cannot be used.
bool authloop_settings(std::string *path, std::string *why);

// Serves requests from in until end of input, each answered on out and
// flushed, then closes the store. Returns the number of requests served.
int authloop_serve(FILE *in, FILE *out);
