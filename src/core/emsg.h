// The server's log: one append-only file "zorvexsvr.log" with one time-stamped
// line per message. emsg for errors, imsg for information, dmsg for debugging
// (only when the configuration key debug is true). Used by every module.
// Owns the log stream. Each program's start-up binds it into the support
// library (log_bind), so that lib and the configuration log through it.
// One thread.
#pragma once

#include <cstdio>

// Binds emsg and imsg as the support library's log calls (lib_set_log).
void log_bind();
// The fast loop lets information lines wait in the stream (imsg_sync);
// picked once at start-up.
void imsg_use_loop(bool fast);

int emsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int imsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int dmsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// What a line shows in place of a secret (a shared secret, a password, a
// stored digest): the secret itself, as the log always has. Valid until the
// next few calls; safe to use twice in one line.
const char *log_secret(const char *secret);

// Writes one line "<ctime without year> <line>"; nothing when the log is closed.
void imsg_log(const char *line);
void imsg_open();
// Flushes the log and starts it afresh once it has passed 500000 bytes.
void imsg_flush();
// Writes out lines that wait in the stream (the fast loop batches them).
void imsg_sync();
// "<logdir>/<name>", or name alone when logdir is empty; next call overwrites.
const char *file_log(const char *name);

// Logs a warning for the log directory and for the work area when every user
// may write to them (world-writable, sticky or not). Called once at start-up.
void imsg_warn_shared_dirs();

// Closes the log; for tests that reopen it elsewhere.
void imsg_close();
