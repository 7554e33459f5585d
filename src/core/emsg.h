// The server's log: one append-only file "zorvexsvr.log" with one time-stamped
// line per message, or with "log syslog" one syslog datagram per message
// (facility mail) on /dev/log. emsg for errors, imsg for information, dmsg
// for debugging (only when the configuration key debug is true). Used by
// every module. Owns the log stream or socket and the key that fingerprints
// secrets ("log_secrets no"). Each program's start-up binds it into the support
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
// stored digest): the secret itself, as the log always has; with
// "log_secrets no" a fingerprint "fp:" and 8 hex digits of a keyed hash,
// equal for equal secrets for the life of the process and useless for
// guessing them. Valid until the next few calls; safe to use twice in one line.
const char *log_secret(const char *secret);
// A whole request line for the log: unchanged, or with "log_secrets no" its
// first keep words followed by the fingerprint of the rest (which may hold a
// password). Same lifetime as log_secret. For debug lines: with "log_secrets
// no" and debug off it is empty, so that no request pays for a fingerprint
// that no line shows.
const char *log_secret_words(const char *line, int keep);
// True when secrets are fingerprinted.
bool log_hides_secrets();
// While quiet, information lines are not written (the one-line request log
// replaces those of a request); error and debug lines still are. Returns
// the state before.
bool imsg_quiet(bool on);
// Lazy: in the fast loop, waiting information lines are written when the
// stream's buffer fills and once a second (imsg_flush from the idle work),
// not before every reply. Picked once at start-up.
void imsg_lazy(bool on);
// Where "log syslog" sends its datagrams; "/dev/log" unless a test names its
// own socket. Takes effect at the next imsg_open.
void log_syslog_path(const char *path);

// Writes one line "<ctime without year> <line>" (syslog: one information
// message); nothing when the log is closed.
void imsg_log(const char *line);
void imsg_open();
// Flushes the log and starts it afresh once it has passed 500000 bytes (not
// syslog, which keeps nothing here).
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
