// The engine's output routine: every reply text of the engine leaves through
// buf_print, to the print callback bound by the caller (the session binds its
// reply sender around each command; the authenticator loop binds its pipe
// writer), or into a collected text when none is bound. Lies below every
// other engine module. One thread; the callbacks run inside buf_print.
#pragma once

// Every engine reply leaves through buf_print: one call, one reply text.
int buf_print(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int buf_clear();
void kvauth_setprint(void (*pr)(char *));

// The drop path of a user's reply line ("+OK user path 0 info"): always
// "config".
const char *kvdrop_path(const char *user);
// The reply of a found user, "+OK user config 0 info", as check, lookup and
// pgauth give it.
void print_found(const char *user, const char *info);

// What buf_print collected since the last buf_clear; "" when nothing.
const char *buf_text();

// Hands the replies printed so far to the client at once; the engine calls it
// before it stops the process, so that the reply saying why is not lost with
// it. kvauth_setflush installs the session's flush (null: nothing to do).
void buf_flush();
void kvauth_setflush(void (*fl)());
