#include "net/scrape.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>

#include "core/metrics.h"
#include "net/chan.h"
#include "net/tcplib.h"
#include "net/timer.h"

namespace {
constexpr size_t kHeadMax = 8192;
constexpr int64_t kTimeoutMs = 10000;
constexpr int kAcceptsPerCall = 16;
constexpr const char *kPath = "/metrics";

Chan *listener;

struct Scrape {
    Chan *c;
    std::string in;
    std::string out;  // the response, once the request is complete
    size_t sent = 0;
};
// By a number of their own, which the channel's p1 and the time-out's
// timer carry: a record may be gone when its timer runs.
std::unordered_map<uint64_t, Scrape> scrapes;
uint64_t next_id;

uint64_t id_of(void *p1) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p1));
}

void finish(uint64_t id) {
    auto it = scrapes.find(id);
    if (it == scrapes.end()) return;
    Chan *c = it->second.c;
    chan_close(c);
    chan_release(c);
    scrapes.erase(it);
}

void expire(void *arg) {
    finish(id_of(arg));
}

std::string response(int status, const char *reason, const char *type, const std::string &body,
                     bool head, const char *extra = "") {
    std::string r = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
    r += std::string("Content-Type: ") + type + "\r\n";
    r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    r += extra;
    r += "Connection: close\r\n\r\n";
    if (!head) r += body;
    return r;
}

std::string error_response(int status, const char *reason, bool head, const char *extra = "") {
    return response(status, reason, "text/plain; charset=utf-8", std::string(reason) + "\n", head,
                    extra);
}

// The value of header name (lowercase, with its colon) in head, or empty.
std::string header(const std::string &head, const char *name) {
    size_t n = strlen(name);
    for (size_t at = head.find('\n'); at != std::string::npos; at = head.find('\n', at + 1)) {
        if (head.size() - at - 1 >= n && strncasecmp(head.c_str() + at + 1, name, n) == 0) {
            size_t end = head.find('\n', at + 1);
            return head.substr(at + 1 + n, end == std::string::npos ? end : end - at - 1 - n);
        }
    }
    return "";
}

// Prometheus asks for OpenMetrics in its Accept header; anyone else gets
// the 0.0.4 text that every tool reads.
bool wants_open_metrics(const std::string &head) {
    return header(head, "accept:").find("application/openmetrics-text") != std::string::npos;
}

// The response to a complete request head.
std::string answer(const std::string &head) {
    size_t eol = head.find_first_of("\r\n");
    std::string line = head.substr(0, eol);
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos ||
        (line.substr(sp2 + 1) != "HTTP/1.0" && line.substr(sp2 + 1) != "HTTP/1.1"))
        return error_response(400, "Bad Request", false);
    std::string method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    bool head_only = method == "HEAD";
    if (method != "GET" && !head_only)
        return error_response(405, "Method Not Allowed", false, "Allow: GET, HEAD\r\n");
    // A query string changes nothing.
    if (target.substr(0, target.find('?')) != kPath)
        return error_response(404, "Not Found", head_only);
    bool om = wants_open_metrics(head);
    return response(200, "OK", metrics_content_type(om), metrics_render(om), head_only);
}

// Where the head ends ("\r\n\r\n" or, from lax clients, "\n\n"), or npos.
size_t head_end(const std::string &in) {
    size_t crlf = in.find("\r\n\r\n");
    size_t lf = in.find("\n\n");
    return crlf < lf ? crlf : lf;
}

int on_write(Chan *c, void *p1) {
    auto it = scrapes.find(id_of(p1));
    if (it == scrapes.end()) return 0;
    Scrape &s = it->second;
    while (s.sent < s.out.size()) {
        int n = tcp_write(c->sk, s.out.data() + s.sent, static_cast<int>(s.out.size() - s.sent));
        if (n < 0) {
            finish(it->first);
            return 0;
        }
        if (n == 0) {
            chan_setsending(c, 1);
            return 1;
        }
        s.sent += static_cast<size_t>(n);
    }
    finish(it->first);
    return 1;
}

int on_read(Chan *c, void *p1) {
    auto it = scrapes.find(id_of(p1));
    if (it == scrapes.end()) return 0;
    Scrape &s = it->second;
    char bf[2048];
    int n = tcp_read(c->sk, bf, sizeof bf - 1);
    if (n < 0) {
        finish(it->first);
        return 0;
    }
    // Bytes after the request head (a body, a second request) are dropped.
    if (!s.out.empty() || n == 0) return 1;
    s.in.append(bf, static_cast<size_t>(n));
    size_t end = head_end(s.in);
    if (end == std::string::npos && s.in.size() <= kHeadMax) return 1;
    if (end == std::string::npos || end > kHeadMax)
        s.out = error_response(431, "Request Header Fields Too Large", false);
    else
        s.out = answer(s.in.substr(0, end + 1));
    s.in.clear();
    s.in.shrink_to_fit();
    return on_write(c, p1);
}

int on_accept(Chan *l, void *) {
    for (int i = 0; i < kAcceptsPerCall; i++) {
        int fd = accept4(l->sk, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return i > 0;
        if (scrapes.size() >= static_cast<size_t>(kScrapeMax)) {
            std::string busy = error_response(503, "Service Unavailable", false);
            (void)!write(fd, busy.data(), busy.size());
            close(fd);
            continue;
        }
        uint64_t id = ++next_id;
        Chan *c = chan_new();
        c->sk = static_cast<short>(fd);
        c->fn_read = on_read;
        c->fn_write = on_write;
        c->p1 = reinterpret_cast<void *>(static_cast<uintptr_t>(id));
        c->canclose = 0;  // freed by finish, through chan_release
        scrapes.emplace(id, Scrape{c, "", "", 0});
        timer_add(timer_now_ms() + kTimeoutMs, expire, c->p1);
    }
    return 1;
}
}  // namespace

bool scrape_parse(const char *spec, std::string *address, int *port) {
    std::string s = spec, p = s;
    address->clear();
    if (s.starts_with("[")) {
        size_t close = s.find("]:");
        if (close == std::string::npos || close == 1) return false;
        *address = s.substr(1, close - 1);
        p = s.substr(close + 2);
    } else if (size_t colon = s.find(':'); colon != std::string::npos) {
        *address = s.substr(0, colon);
        p = s.substr(colon + 1);
        if (address->empty()) return false;
    }
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *port = atoi(p.c_str());
    unsigned char probe[16];
    bool v6 = s.starts_with("[");
    if (!address->empty() && inet_pton(v6 ? AF_INET6 : AF_INET, address->c_str(), probe) != 1)
        return false;
    return *port >= 1 && *port <= 65535;
}

bool scrape_listen(const char *spec, std::string *why) {
    std::string address;
    int port = 0;
    if (!scrape_parse(spec, &address, &port)) {
        *why = "not ADDRESS:PORT, [ADDRESS]:PORT or PORT";
        return false;
    }
    short sk = tcp_listen(port, address.c_str());
    if (sk == -1) {
        *why = tcperror();
        return false;
    }
    fcntl(sk, F_SETFL, fcntl(sk, F_GETFL) | O_NONBLOCK);
    listener = chan_new();
    listener->sk = sk;
    listener->fn_read = on_accept;
    return true;
}

void scrape_close() {
    while (!scrapes.empty()) finish(scrapes.begin()->first);
    if (listener) {
        chan_close(listener);
        chan_release(listener);
        listener = nullptr;
    }
}
