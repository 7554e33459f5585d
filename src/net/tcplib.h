// Socket layer: the listening socket, accept (with the allow list, the
// connection limit and the shedding of connections when descriptors run
// out), reads and writes with a three-way result (data, nothing now, gone),
// the last socket error, and the fast loop's wait set of descriptors. Used by
// channels, the wait, the pool (its pipes join the wait set) and start-up.
// Knows nothing of channels: a watched descriptor's owner is an opaque
// pointer. One thread; nothing here calls back into its callers.
#pragma once

#include <cstdint>
#include <sys/epoll.h>

void tcp_startup();
short dupsocket(int af, int type, int protocol);
// Listening socket on the given IPv4 or IPv6 address, or on all local IPv4
// addresses when address is empty; -1 with the error kept for tcperror.
short tcp_listen(int port, const char *address = "");
// Accepts one connection and returns its socket; -1 when none was taken;
// kTcpShed when one was taken and closed at once, and more may wait: a peer
// that the allow list (acl.h) refuses, any peer while tcp_set_max_clients'
// limit is reached, and any peer while the process has no descriptor left
// for it. These are logged at most once a second (refusals once a second per
// address), each line counting the ones held back before it.
short tcp_accept(short xlisten);
constexpr short kTcpShed = -2;
// The most accepted sockets open at once; 0 (the start) sets no limit.
void tcp_set_max_clients(int n);
// Count read (> 0), 0 when nothing is there now, -1 when the peer is gone.
// Stores a NUL behind the bytes read: bf holds maxlen + 1 bytes.
int tcp_read(short sk, char *bf, int maxlen);
// Count written (> 0), 0 when nothing can be written now, -1 when gone.
int tcp_write(short sk, char *bf, int maxlen);
int tcp_wouldblock();
void tcp_lasterror();
char *tcperror();
// Leaves the wait set, then closes the socket; the one way an accepted
// socket is closed.
void tcp_close(short sk);

// An entry of the fast loop's wait set: its owner (a channel) or, for a pool
// pipe, the function to run when the descriptor is readable.
struct TcpWatch {
    void *owner = nullptr;
    void (*fn)(int) = nullptr;
    uint32_t events = 0;
};
// Adds fd with the epoll events ev; false when it cannot be watched.
bool tcp_watch(int fd, void *owner, void (*fn)(int), uint32_t ev);
// The entry of fd, empty when fd is not watched; null beyond the table.
TcpWatch *tcp_watch_of(int fd);
// Changes the events asked for a watched fd.
void tcp_watch_events(int fd, uint32_t ev);
// epoll_wait over the wait set.
int tcp_watch_wait(epoll_event *ev, int max, int ms);
// fn(fd) runs in each fast-loop cycle in which fd is readable or hung up,
// until tcp_unwatch_fd. fd must stay open till then.
void tcp_watch_fd(int fd, void (*fn)(int));
void tcp_unwatch_fd(int fd);
