// Test support: a small HTTP/1.1 client over loopback TCP, for the metrics
// listener and for a Prometheus server's query API.
#pragma once

#include <string>

struct HttpReply {
    int status = 0;       // 0 when no status line came
    std::string headers;  // the header lines, each ending in CR LF
    std::string body;
};
// Sends request as it is to 127.0.0.1:port and reads until the server closes
// the connection or timeout_ms passes; the bytes received.
std::string http_exchange(int port, const std::string &request, int timeout_ms = 5000);
// A GET of path ("Connection: close"; an Accept header when accept is set).
HttpReply http_get(int port, const std::string &path, const std::string &accept = "",
                   int timeout_ms = 5000);
// Splits a whole response into status, headers and body.
HttpReply http_parse(const std::string &raw);
// The value of header name (any case) in reply, empty when absent.
std::string http_header(const HttpReply &reply, const std::string &name);
