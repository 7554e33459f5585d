// TLS for client connections: the server's certificate, key and optional
// client CA (one context for the process), and each TLS connection's record
// layer, through which its channel reads and writes instead of the socket.
// Used by start-up (tls_setup before detaching), by the channels (accept,
// read, write, close) and by the fast loop's end of cycle (tls_expire).
// Assumes non-blocking sockets and the one loop thread. The line protocol
// inside is unchanged: the encrypt handshake is still required.
#pragma once

#include <memory>
#include <string>

struct CHAN;
struct ssl_st;

struct TlsFree {
    void operator()(ssl_st *s) const;
};
using TlsPtr = std::unique_ptr<ssl_st, TlsFree>;

// What a TLS channel's last record-layer call left it waiting for, beyond
// what its own direction asks (CHAN::tlswant bits).
enum : int {
    kTlsReadWantsWrite = 1,  // the read continues once the socket is writable
    kTlsWriteWantsRead = 2,  // the write continues once the socket is readable
    kTlsHandshaking = 4,     // the handshake has not finished; it has a deadline
    kTlsFailed = 8,          // a fatal error: no close_notify is sent
};

// Loads the certificate chain and key (and, when client_ca is not empty, the
// CA that client certificates must be signed by) and checks them. 1, or 0
// with *why a one-line reason naming the key and the file. The key file may
// not be readable by group or others.
int tls_setup(const char *cert, const char *key, const char *client_ca, std::string *why);
// Gives an accepted channel its TLS state; false when it cannot be made.
bool tls_start(CHAN *c);
// tcp_read's and tcp_write's results: count (> 0), 0 when nothing can be
// done now (c->tlswant says which readiness continues it), -1 when gone.
// tls_read stores a NUL behind the bytes read; tls_write may write less.
int tls_read(CHAN *c, char *bf, int maxlen);
int tls_write(CHAN *c, char *bf, int len);
// Nonzero while bytes read from c's socket wait in its record layer.
int tls_pending(const CHAN *c);
// Before c's socket is closed: a close_notify when the connection is sound,
// then its TLS state is freed.
void tls_stop(CHAN *c);
// Closes connections whose handshake has taken longer than the time-out;
// looks at most once a second.
void tls_expire();
