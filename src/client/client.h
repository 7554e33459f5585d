// Client side of the line protocol: connect, the encrypt handshake, sending
// identified request lines and reading reply lines, both enciphered once the
// handshake is done. Used by the zorvex program, the load client and the tests.
// Owns one connection's socket, its TLS state and its two generators (RAII). No server
// module is used; one thread.
#pragma once

#include <string>
#include <string_view>

#include "lib/lib.h"
#include "client/tlsclient.h"
#include "lib/xlate.h"

struct ZvClient {
    UniqueFd fd;
    RhandPtr rin;       // deciphers what the server sends
    RhandPtr rout;      // enciphers what we send
    std::string inbuf;  // received bytes, already deciphered
    std::string error;  // last failure, for messages
    TlsClientPtr tls;   // set: every byte goes through TLS
};

// Connects to host:port (numeric or resolvable name), from the IPv4 address
// local when one is given; 1 on success.
int cli_connect(ZvClient *c, const char *host, int port, int timeout_ms,
                const char *local = nullptr);
// Makes the connected c a TLS connection, the server's certificate checked
// against host; 1, or 0 with c->error set.
int cli_tls(ZvClient *c, const std::string &host, const TlsClientOptions &o, int timeout_ms);
// Switches the connection to enciphered mode with the given secret line.
// With check, the secret's check value is sent so that a wrong secret is
// refused at once. 1 on success; 0 with c->error set.
int cli_encrypt(ZvClient *c, const std::string &secret, bool check, int timeout_ms);
// Sends "<id> <text>\n", enciphered when the connection is. 1 on success.
int cli_send(ZvClient *c, int id, std::string_view text);
// Sends bytes as they are (enciphered when the connection is).
int cli_send_raw(ZvClient *c, std::string_view bytes);
// Reads one reply line without its CR LF: 1 on success, 0 on time-out,
// -1 when the connection is gone.
int cli_read_line(ZvClient *c, std::string *line, int timeout_ms);
// Takes whatever the socket holds now into inbuf without waiting; -1 when gone.
int cli_pump(ZvClient *c);
// Takes one complete line out of inbuf, if there is one.
bool cli_take_line(ZvClient *c, std::string *line);
void cli_close(ZvClient *c);

// The reply identifier and the text after it, split from a reply line.
bool cli_split_reply(std::string_view line, int *id, std::string_view *text);
