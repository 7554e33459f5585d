// The reply path of a connection: framing a reply line, enciphering it with
// the connection's send generator, queuing it on the 8000-byte output buffer
// and writing it out. Used by the session (its replies and the engine's), by
// the authenticator pool (relayed replies) and as the write callback of every
// connection. Lies below both so that neither calls up to reach the other.
// One thread; io_write may be called from any callback.
#pragma once

struct CHAN;

// Formats one reply (at most 1999 characters) and queues it.
int io_printf(CHAN *c, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Queues n bytes, enciphered when the connection is; 0 when they don't fit.
int io_write_bf(CHAN *c, char *bf, int n);
// Write callback: writes what is waiting.
int io_write(CHAN *c, void *x);
// Replies to c are queued, not written, until io_defer(nullptr): the session
// sets it while it handles the lines of one read.
void io_defer(CHAN *c);
