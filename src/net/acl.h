// Access control for the listening socket: the list of addresses and CIDR
// ranges (IPv4 and IPv6) that may connect. Set once at start-up by the server
// from the configuration; asked by the socket layer for every accepted peer.
#pragma once

#include <string>
#include <sys/socket.h>

// Parses a list of addresses and ranges ("10.0.0.0/8, ::1 192.0.2.7"),
// separated by commas, spaces or both, and makes it the list in force. An
// empty text admits everyone; separators alone are refused (0 with *err
// empty). IPv4-mapped IPv6 entries (::ffff:192.0.2.7) are IPv4 entries. 1 on
// success; 0 with *err naming the bad item, and the list in force is left as
// it was.
int acl_set(const char *list, std::string *err);
// 1 when the list in force admits the peer (always when no list is set).
// IPv4 peers mapped into IPv6 are matched as IPv4.
int acl_allows(const sockaddr *peer);
// The peer's address as text, for log lines.
std::string acl_peer_text(const sockaddr *peer);
// Matches a textual address against a list without changing the list in
// force: 1 admitted, 0 refused, -1 when the list or the address is invalid.
int acl_check(const char *list, const char *addr);
