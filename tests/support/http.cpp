#include "support/http.h"

#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

std::string http_exchange(int port, const std::string &request, int timeout_ms) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    std::string got;
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) break;
            char bf[4096];
            ssize_t n = read(fd, bf, sizeof bf);
            if (n <= 0) break;
            got.append(bf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return got;
}

HttpReply http_parse(const std::string &raw) {
    HttpReply r;
    size_t eol = raw.find("\r\n");
    if (raw.compare(0, 5, "HTTP/") != 0 || eol == std::string::npos) return r;
    size_t sp = raw.find(' ');
    if (sp < eol) r.status = atoi(raw.c_str() + sp + 1);
    size_t end = raw.find("\r\n\r\n", eol);
    if (end == std::string::npos) end = raw.size();
    r.headers = raw.substr(eol + 2, end + 2 - (eol + 2));
    if (end + 4 <= raw.size()) r.body = raw.substr(end + 4);
    return r;
}

HttpReply http_get(int port, const std::string &path, const std::string &accept, int timeout_ms) {
    std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (!accept.empty()) req += "Accept: " + accept + "\r\n";
    return http_parse(http_exchange(port, req + "\r\n", timeout_ms));
}

std::string http_header(const HttpReply &reply, const std::string &name) {
    for (size_t at = 0; at < reply.headers.size();) {
        size_t eol = reply.headers.find("\r\n", at);
        if (eol == std::string::npos) eol = reply.headers.size();
        std::string line = reply.headers.substr(at, eol - at);
        size_t colon = line.find(':');
        if (colon == name.size() && strncasecmp(line.c_str(), name.c_str(), colon) == 0)
            return line.substr(line.find_first_not_of(' ', colon + 1) == std::string::npos
                                   ? line.size()
                                   : line.find_first_not_of(' ', colon + 1));
        at = eol + 2;
    }
    return "";
}
