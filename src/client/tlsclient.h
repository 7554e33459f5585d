// Client side of TLS: a verified TLS connection over a connected client
// socket (the server's certificate checked against a CA file or the system's
// store, and against the host name or address dialled), with an optional
// client certificate. Used by client.cpp's reads and writes and by zorvex's
// connect step. Owns the connection's TLS state (RAII); one thread.
#pragma once

#include <memory>
#include <string>

struct ssl_st;

struct TlsClientFree {
    void operator()(ssl_st *s) const;
};
using TlsClientPtr = std::unique_ptr<ssl_st, TlsClientFree>;

struct TlsClientOptions {
    std::string cafile;  // empty: the system's store
    std::string cert;    // client certificate, PEM; empty: none
    std::string key;     // its key; empty: in the certificate file
};

// Handshakes over the non-blocking socket fd within timeout_ms, checking
// that the certificate names host (a name, or an IPv4/IPv6 address). The
// connection, or null with *err set.
TlsClientPtr tlscli_open(int fd, const std::string &host, const TlsClientOptions &o, int timeout_ms,
                         std::string *err);
// A read's or write's result: count (> 0), 0 when nothing moved now, -1 gone
// (*err set, unless the server closed cleanly: "connection closed by server").
int tlscli_read(ssl_st *s, char *bf, int len, std::string *err);
int tlscli_write(ssl_st *s, const char *bf, int len, std::string *err);
// Nonzero while bytes read from the socket wait in the record layer.
int tlscli_pending(ssl_st *s);
// Sends close_notify (once, not waiting for the answer).
void tlscli_close(ssl_st *s);
