// Channels: the server's record of each socket (the listening socket and every
// client connection) with its callbacks, input buffer and line splitter, output
// buffer and keystream generators, and the wait that runs their callbacks (poll,
// or epoll in the fast loop). Owns the channel list: a record lives from
// chan_new until chan_idle frees it. Used by start-up and the main loop, the
// session layer and the authenticator pool. The layers above bind
// what the channel loop calls up: the idle work (chan_set_idle) and the
// callbacks of accepted connections (chan_set_accept). One thread; a callback
// may close any channel, never free one.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "lib/xlate.h"
#include "net/tls.h"

struct HEAD;
struct UINFO;

enum { C_BAD = 0, C_HTTP = 1, C_NNTP = 2, C_TOMASTER = 3, C_TOCHILD = 4, C_USER = 5, C_LISTEN = 6 };

struct FreeDeleter {
    void operator()(char *p) const { free(p); }
};
using CharBuf = std::unique_ptr<char, FreeDeleter>;

struct CHAN;
typedef CHAN Chan;
typedef int (*ChanFn)(CHAN *, void *);

struct CHAN {
    short sk = -1;
    CharBuf out;   // outsz bytes, made by the session layer on the first reply
    CharBuf in;    // insz + 1 bytes, in[inat] is NUL after every read
    RhandPtr rin;  // set once the connection is enciphered
    RhandPtr rout;
    int encrypted = 0;
    int inat = 0;
    int insz = 0;
    int serverpush = 0;
    int pushgid = 0;
    int inget = 0;
    int outlen = 0;
    int type = 0;
    int code = 0;
    int sending = 0;  // output waits: the wait loop asks for writability
    int gothead = 0;
    int keepalive = 0;
    int canclose = 0;  // 0 holds a closed record in the list
    void *p1 = nullptr;
    ChanFn fn_read = nullptr;
    ChanFn fn_write = nullptr;
    ChanFn fn_close = nullptr;
    CHAN *next = nullptr;
    HEAD *head = nullptr;
    int hostid = 0;
    int isslave = 0;
    UINFO *uinfo = nullptr;
    int watched = 0;  // the fast loop has seen the record (it is in its wait set)
    int queued = 0;   // requests of the connection waiting for a pool process
    // The waiting output is out[outat, outat + outlen) of outsz bytes, so a
    // short write of a large buffer moves nothing.
    int outat = 0;
    int outsz = 0;
    int paused = 0;   // fast loop: too much output waits; no request is read
    int relines = 0;  // resumed with request lines still in the input buffer
    // The session is handling the lines of one read: their replies wait and
    // go out in one write after the last line.
    int deferred = 0;
    int held = 0;        // requests waiting on a timer or a hash: the record is not freed
    char peer[48] = "";  // the client's address, looked up once when first needed
    // A connection on the TLS port reads and writes through its record
    // layer; tlswant holds the kTls* bits of tls.h.
    TlsPtr tls;
    int tlswant = 0;
    int tlslisten = 0;  // a listening channel whose connections speak TLS
};

// Newest channel first; the listening channels end the list.
extern Chan *clist;

int chan_init();
Chan *chan_new();
void chan_setread(Chan *c, ChanFn fn, void *p1);
void chan_setwrite(Chan *c, ChanFn fn, void *p1);
void chan_setsending(Chan *c, int t);
// Picks the loop once, at start-up: the classic one (a paused poll of every
// channel, one accept per cycle) or the fast one (epoll, every pending
// accept). The classic one runs until then.
void chan_use_loop(bool fast);
// Binds the idle work that chan_loop runs after chan_idle (the server's
// main_idle); nothing runs there until it is bound.
void chan_set_idle(void (*fn)());
// Binds the read and write callbacks given to accepted connections (the
// session's io_read and io_write).
void chan_set_accept(ChanFn rd, ChanFn wr);
// The end of a wait cycle: chan_idle, then the bound idle work.
void chan_loop();
// The epoll events c waits for: readable, and writable while output waits.
uint32_t chan_events(const Chan *c);
// Fast loop: asks for writability of c's socket exactly while c->sending,
// for readability while c is not paused.
void chan_update(Chan *c);
// Back-pressure (the session pauses a connection whose output grows large):
// while paused, c's socket is not read and its buffered lines are not handed
// on. Resuming hands them on within the wait cycle, since no new byte may
// ever come to wake the socket.
void chan_pause(Chan *c, int on);
// Frees closed channels whose canclose is set.
void chan_idle();
// Lets the channel loop free a closed c (canclose 1).
void chan_release(Chan *c);
// Holds c for one more (on 1) or one less (on 0) request that waits on a
// timer or a worker thread; a closed record is freed only once none does.
void chan_hold(Chan *c, int on);
int chan_close(Chan *c);
// chan_close for a fault (a failed write, input or output over its limit, a
// TLS failure, a wrong shared secret): counted in the metrics.
int chan_close_error(Chan *c);
void chan_exit();
// One write; the count written (maybe short, maybe 0), or negative when gone.
int chan_write(Chan *c, char *bf, int len);
// 1 while the channel is open after reading what the socket holds, else 0.
int chan_readin(Chan *c);
int chan_growin(Chan *c);
// Hands each complete line to do_lines until it returns 0 or c is paused;
// keeps the rest.
int chan_lines(Chan *c, int (*do_lines)(Chan *, char *));
// Accepts one pending connection, in the fast loop every pending one up to
// 256 per call; one closed at once (tcp_accept) counts as taken.
int chan_listen_read(Chan *c, void *x);
int chan_listen_write(Chan *c, void *x);

// The wait. A callback may close any channel; the records stay in the list
// until chan_idle frees them. A failed wait ends in the shutdown that the
// server binds with tcp_set_fatal (the process ends even when none is bound).
// One pass of the channel loop over the whole channel list.
void chan_run();
// One wait cycle: 10 ms pause, wait up to 100 ms, callbacks, idle work. In
// the fast loop: a wait for readiness alone (at most 100 ms), callbacks of the
// ready sockets and watched descriptors, idle work. Either wait ends early
// for a timer due (timer.h), which runs before the idle work.
int tcp_waitchans(CHAN *cstart);
// Binds the shutdown that a failed wait calls (the server's main_exit).
void tcp_set_fatal(void (*fn)());
