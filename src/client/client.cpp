#include "client/client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    auto d = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return d.count() < 0 ? 0 : static_cast<int>(d.count());
}

// Receives into inbuf; deciphers with rin from the first byte after handshake.
int read_some(ZvClient *c) {
    char buf[16384];
    ssize_t n = 0;
    if (c->tls) {
        // A record deciphered in part would never wake a poll of the socket.
        int r = tlscli_read(c->tls.get(), buf, sizeof buf, &c->error);
        if (r <= 0) return r;
        if (c->rin) xlate_in(c->rin.get(), buf, r);
        c->inbuf.append(buf, static_cast<size_t>(r));
        return tlscli_pending(c->tls.get()) > 0 && read_some(c) < 0 ? -1 : 1;
    }
    n = read(c->fd.get(), buf, sizeof buf);
    if (n == 0) {
        c->error = "connection closed by server";
        return -1;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        c->error = strerror(errno);
        return -1;
    }
    if (c->rin) xlate_in(c->rin.get(), buf, static_cast<int>(n));
    c->inbuf.append(buf, static_cast<size_t>(n));
    return 1;
}
}  // namespace

int cli_connect(ZvClient *c, const char *host, int port, int timeout_ms, const char *local) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    std::string ps = std::to_string(port);
    int gai = getaddrinfo(host, ps.c_str(), &hints, &res);
    if (gai != 0) {
        c->error = std::string("cannot resolve ") + host + ": " + gai_strerror(gai);
        return 0;
    }
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        c->error = strerror(errno);
        freeaddrinfo(res);
        return 0;
    }
    if (local) {
        sockaddr_in la{};
        la.sin_family = AF_INET;
        if (inet_pton(AF_INET, local, &la.sin_addr) != 1 ||
            bind(fd.get(), reinterpret_cast<sockaddr *>(&la), sizeof la) != 0) {
            c->error = std::string("cannot bind to ") + local;
            freeaddrinfo(res);
            return 0;
        }
    }
    int r = connect(fd.get(), res->ai_addr, res->ai_addrlen);
    freeaddrinfo(res);
    if (r != 0 && errno != EINPROGRESS) {
        c->error = strerror(errno);
        return 0;
    }
    if (r != 0) {
        pollfd p{fd.get(), POLLOUT, 0};
        if (poll(&p, 1, timeout_ms) <= 0) {
            c->error = "connection timed out";
            return 0;
        }
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            c->error = strerror(err);
            return 0;
        }
    }
    c->tls.reset();
    c->fd = std::move(fd);
    c->rin.reset();
    c->rout.reset();
    c->inbuf.clear();
    return 1;
}

int cli_tls(ZvClient *c, const std::string &host, const TlsClientOptions &o, int timeout_ms) {
    c->tls = tlscli_open(c->fd.get(), host, o, timeout_ms, &c->error);
    return c->tls ? 1 : 0;
}

int cli_encrypt(ZvClient *c, const std::string &secret, bool check, int timeout_ms) {
    std::string req = "encrypt zv";
    if (check) req += " " + std::to_string(xlate_check_value(secret.c_str()));
    bool was_enciphered = c->rin != nullptr;
    if (!cli_send(c, 0, req)) return 0;
    std::string line;
    int r = cli_read_line(c, &line, timeout_ms);
    if (r <= 0) {
        if (r == 0) c->error = "no reply to encrypt";
        return 0;
    }
    int id = 0;
    std::string_view text;
    cli_split_reply(line, &id, &text);
    if (text.substr(0, 9) != "+ENCRYPT ") {
        c->error = std::string(text);
        return 0;
    }
    int t = atoi(std::string(text.substr(9)).c_str());
    uint32_t seed = xlate_seed(secret.c_str(), t);
    c->rin.reset(rand_seed(seed));
    c->rout.reset(rand_seed(seed));
    if (!c->rin || !c->rout) {
        c->error = "out of memory";
        return 0;
    }
    // Anything that came behind a clear reply line was sent enciphered.
    if (!was_enciphered && !c->inbuf.empty())
        xlate_in(c->rin.get(), c->inbuf.data(), static_cast<int>(c->inbuf.size()));
    return 1;
}

int cli_send_raw(ZvClient *c, std::string_view bytes) {
    std::string buf(bytes);
    if (c->rout) xlate_out(c->rout.get(), buf.data(), static_cast<int>(buf.size()));
    size_t off = 0;
    while (off < buf.size()) {
        ssize_t n = 0;
        if (c->tls) {
            n = tlscli_write(c->tls.get(), buf.data() + off, static_cast<int>(buf.size() - off),
                             &c->error);
            if (n < 0) return 0;
            if (n == 0) errno = EAGAIN;
        } else {
            n = write(c->fd.get(), buf.data() + off, buf.size() - off);
        }
        if (n > 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            // Drain replies meanwhile so that neither side waits on the other.
            pollfd p{c->fd.get(), POLLOUT | POLLIN, 0};
            poll(&p, 1, 1000);
            if ((p.revents & POLLIN) && read_some(c) < 0) return 0;
            continue;
        }
        c->error = n < 0 ? strerror(errno) : "write failed";
        return 0;
    }
    return 1;
}

int cli_send(ZvClient *c, int id, std::string_view text) {
    std::string line = std::to_string(id);
    line += ' ';
    line += text;
    line += '\n';
    return cli_send_raw(c, line);
}

bool cli_take_line(ZvClient *c, std::string *line) {
    size_t nl = c->inbuf.find('\n');
    if (nl == std::string::npos) return false;
    size_t end = nl;
    if (end > 0 && c->inbuf[end - 1] == '\r') end--;
    line->assign(c->inbuf, 0, end);
    c->inbuf.erase(0, nl + 1);
    return true;
}

int cli_pump(ZvClient *c) {
    for (;;) {
        int r = read_some(c);
        if (r <= 0) return r;
    }
}

int cli_read_line(ZvClient *c, std::string *line, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (cli_take_line(c, line)) return 1;
        pollfd p{c->fd.get(), POLLIN, 0};
        int r = poll(&p, 1, ms_left(deadline));
        if (r < 0 && errno != EINTR) {
            c->error = strerror(errno);
            return -1;
        }
        if (r == 0) {
            c->error = "timed out waiting for the server";
            return 0;
        }
        if (r > 0 && read_some(c) < 0) return -1;
    }
}

void cli_close(ZvClient *c) {
    if (c->tls) tlscli_close(c->tls.get());
    c->tls.reset();
    c->fd.reset();
    c->rin.reset();
    c->rout.reset();
    c->inbuf.clear();
}

bool cli_split_reply(std::string_view line, int *id, std::string_view *text) {
    size_t sp = line.find(' ');
    std::string head(line.substr(0, sp));
    *id = atoi(head.c_str());
    *text = sp == std::string_view::npos ? std::string_view() : line.substr(sp + 1);
    return sp != std::string_view::npos;
}
