// Socket layer and wait loop: the listening socket, accept, reads and writes
// with a three-way result (data, nothing now, gone), the last socket error,
// and one cycle of the server's wait over all channels. Used by channels and
// start-up.
#pragma once

struct CHAN;

void tcp_startup();
short dupsocket(int af, int type, int protocol);
// Listening socket on the given IPv4 or IPv6 address, or on all local IPv4
// addresses when address is empty; -1 with the error kept for tcperror.
short tcp_listen(int port, const char *address = "");
// Accepts one connection, or -1; a peer that the allow list (acl.h) refuses
// is logged and closed here, and -1 is returned for it too.
short tcp_accept(short xlisten);
// Count read (> 0), 0 when nothing is there now, -1 when the peer is gone.
// Stores a NUL behind the bytes read: bf holds maxlen + 1 bytes.
int tcp_read(short sk, char *bf, int maxlen);
// Count written (> 0), 0 when nothing can be written now, -1 when gone.
int tcp_write(short sk, char *bf, int maxlen);
int tcp_wouldblock();
void tcp_lasterror();
char *tcperror();
void tcp_close(short sk);
// One wait cycle: 10 ms pause, wait up to 100 ms, callbacks, idle work. In
// the fast loop: a wait for readiness alone (at most 100 ms), callbacks of the
// ready sockets and watched descriptors, idle work.
int tcp_waitchans(CHAN *cstart);

// 1 when the configuration chose the fast loop (loop fast).
int tcp_fast();
// Fast loop only (else nothing): fn(fd) runs in each cycle in which fd is
// readable or hung up, until tcp_unwatch_fd. fd must stay open till then.
void tcp_watch_fd(int fd, void (*fn)(int));
void tcp_unwatch_fd(int fd);
// Fast loop: asks for writability of c's socket exactly while c->sending.
void tcp_update(CHAN *c);
