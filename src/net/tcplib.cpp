#include "net/tcplib.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "core/emsg.h"
#include "core/metrics.h"
#include "lib/lib.h"
#include "net/acl.h"

namespace {
int werrno;

// The fast loop's wait set. Each watched descriptor has an entry in the
// table, indexed by descriptor: its owner (a channel), or a function for a
// pool pipe. A descriptor leaves the set before it is closed, so no event
// names a freed record, and an event whose entry changed in the same cycle is
// dropped.
int epfd = -1;
std::vector<TcpWatch> watches;

// Accepted sockets still open, marked by descriptor, and their limit (0:
// none). Client sockets are closed only through tcp_close.
std::vector<char> is_client;
int clients;
int max_clients;
// Held for the moment the process has no descriptor left: given up, it lets
// a pending connection be taken and closed, which empties the queue that
// would otherwise keep the listening socket ready and the loop spinning.
int spare = -1;

constexpr const char *kRefusedLog = "Connection from %s refused: not in allow";
constexpr const char *kFullLog = "Connection closed at once: max_connections %d reached";
constexpr const char *kNoFdLog = "Connection closed at once: no descriptor left (%s)";
// A throttled line that follows held-back ones counts them.
constexpr const char *kHeldLog = "%s (%d more)\n";
// Refusing addresses kept track of at once; a flood of addresses must not
// grow the table without end.
constexpr size_t kRefusalAddrs = 1024;

// A log line that a peer could otherwise make thousands of times a second,
// and so delete the log (it restarts at 500000 bytes): the first event of a
// second is logged, later ones of that second are held back and counted.
struct Throttle {
    time_t at = -1;
    int held = 0;
};
Throttle full_log;
Throttle nofd_log;
std::unordered_map<std::string, Throttle> refusals;

// Connections accepted, and those closed at once by reason.
enum Refusal { kNotAllowed, kLimit, kNoDescriptor, kRefusals };
uint64_t accepted;
uint64_t refused[kRefusals];
const MetricFamily open_family{"connections_open", MetricType::kGauge, "Client connections open.",
                               [](MetricOut &o) { o.sample("", clients); }};
const MetricFamily accepted_family{
    "connections_accepted", MetricType::kCounter, "Client connections accepted.",
    [](MetricOut &o) { o.sample("", static_cast<double>(accepted)); }};
const MetricFamily refused_family{
    "connections_refused", MetricType::kCounter,
    "Client connections closed at once: a peer not in allow, max_connections reached, or no "
    "descriptor left.",
    [](MetricOut &o) {
        o.sample("reason=\"allow\"", static_cast<double>(refused[kNotAllowed]));
        o.sample("reason=\"limit\"", static_cast<double>(refused[kLimit]));
        o.sample("reason=\"descriptors\"", static_cast<double>(refused[kNoDescriptor]));
    }};

__attribute__((format(printf, 2, 3))) void throttled(Throttle *t, const char *fmt, ...) {
    time_t now = time(nullptr);
    if (now == t->at) {
        t->held++;
        return;
    }
    t->at = now;
    char text[600];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (t->held > 0)
        imsg(kHeldLog, text, t->held);
    else
        imsg("%s\n", text);
    t->held = 0;
}

void log_refusal(const std::string &addr) {
    if (refusals.size() >= kRefusalAddrs && !refusals.count(addr)) {
        // Addresses not refused in this second go first, held counts and
        // all; every one when that frees nothing.
        time_t now = time(nullptr);
        std::erase_if(refusals, [now](const auto &e) { return e.second.at != now; });
        if (refusals.size() >= kRefusalAddrs) refusals.clear();
    }
    throttled(&refusals[addr], kRefusedLog, addr.c_str());
}

int null_fd() {
    return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// accept failed for want of a descriptor (err): the spare makes room for
// taking the connection, which is closed at once.
short shed(short xlisten, int err) {
    if (spare < 0) spare = null_fd();  // something may have been freed since
    if (spare < 0) {
        // Nothing to give up: a short pause instead of a spin on the ready
        // socket until a descriptor is freed.
        lib_msleep(10);
        return -1;
    }
    close(spare);
    // accept reports the want of a descriptor also when nothing waits: only
    // a connection taken is logged.
    int taken = accept(xlisten, nullptr, nullptr);
    if (taken >= 0) close(taken);
    spare = null_fd();  // at once, while the slot is free
    if (taken < 0) return -1;
    refused[kNoDescriptor]++;
    throttled(&nofd_log, kNoFdLog, strerror(err));
    return kTcpShed;
}
}  // namespace

void tcp_startup() {}

short dupsocket(int af, int type, int protocol) {
    return static_cast<short>(socket(af, type, protocol));
}

short tcp_listen(int port, const char *address) {
    // An address given is an IPv4 or IPv6 literal; none means every IPv4 one.
    sockaddr_storage ss{};
    socklen_t sslen = sizeof(sockaddr_in);
    auto *sa = reinterpret_cast<sockaddr_in *>(&ss);
    auto *sa6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    sa->sin_family = AF_INET;
    sa->sin_addr.s_addr = htonl(INADDR_ANY);
    sa->sin_port = htons(static_cast<uint16_t>(port));
    if (address && *address && inet_pton(AF_INET, address, &sa->sin_addr) != 1) {
        sa6->sin6_family = AF_INET6;
        sa6->sin6_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET6, address, &sa6->sin6_addr) != 1) {
            errno = EINVAL;
            tcp_lasterror();
            return -1;
        }
        sslen = sizeof(sockaddr_in6);
    }
    short sk = dupsocket(ss.ss_family, SOCK_STREAM, 0);
    if (sk != -1) close_on_exec(sk);
    tcp_lasterror();
    imsg("Socket listen on socket id %d port %d\n", sk, port);
    if (sk == -1) return -1;
    int one = 1;
    setsockopt(sk, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(sk, reinterpret_cast<sockaddr *>(&ss), sslen) != 0) {
        tcp_lasterror();
        close(sk);
        return -1;
    }
    if (listen(sk, 25) != 0) {
        tcp_lasterror();
        return -1;
    }
    close_on_exec(sk);
    if (spare < 0) spare = null_fd();
    return sk;
}

short tcp_accept(short xlisten) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    int fd = accept(xlisten, reinterpret_cast<sockaddr *>(&sa), &len);
    tcp_lasterror();
    if (fd < 0) return werrno == EMFILE || werrno == ENFILE ? shed(xlisten, werrno) : -1;
    if (!acl_allows(reinterpret_cast<sockaddr *>(&sa))) {
        log_refusal(acl_peer_text(reinterpret_cast<sockaddr *>(&sa)));
        refused[kNotAllowed]++;
        close(fd);
        return kTcpShed;
    }
    if (max_clients > 0 && clients >= max_clients) {
        throttled(&full_log, kFullLog, max_clients);
        refused[kLimit]++;
        close(fd);
        return kTcpShed;
    }
    if (static_cast<size_t>(fd) >= is_client.size()) is_client.resize(static_cast<size_t>(fd) + 1);
    is_client[static_cast<size_t>(fd)] = 1;
    clients++;
    accepted++;
    close_on_exec(fd);
    // A client that never reads its replies must not stall the one thread:
    // writes that the kernel can't take now return 0 and wait in the channel.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return static_cast<short>(fd);
}

int tcp_read(short sk, char *bf, int maxlen) {
    ssize_t n = read(sk, bf, static_cast<size_t>(maxlen));
    tcp_lasterror();
    if (n > 0) {
        bf[n] = 0;
        return static_cast<int>(n);
    }
    bf[0] = 0;
    if (n == 0) return -1;
    return tcp_wouldblock() ? 0 : -1;
}

int tcp_write(short sk, char *bf, int maxlen) {
    ssize_t n = write(sk, bf, static_cast<size_t>(maxlen));
    tcp_lasterror();
    if (n > 0) return static_cast<int>(n);
    return tcp_wouldblock() ? 0 : -1;
}

int tcp_wouldblock() {
    return werrno == EAGAIN || werrno == EWOULDBLOCK || werrno == EINPROGRESS;
}

void tcp_lasterror() {
    werrno = errno;
}

char *tcperror() {
    return strerror(werrno);
}

void tcp_close(short sk) {
    tcp_unwatch_fd(sk);
    if (sk >= 0 && static_cast<size_t>(sk) < is_client.size() &&
        is_client[static_cast<size_t>(sk)]) {
        is_client[static_cast<size_t>(sk)] = 0;
        clients--;
    }
    close(sk);
}

void tcp_set_max_clients(int n) {
    max_clients = n;
}

TcpWatch *tcp_watch_of(int fd) {
    if (fd < 0 || static_cast<size_t>(fd) >= watches.size()) return nullptr;
    return &watches[static_cast<size_t>(fd)];
}

bool tcp_watch(int fd, void *owner, void (*fn)(int), uint32_t ev) {
    if (epfd < 0) epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0 || fd < 0) return false;
    epoll_event e{};
    e.events = ev;
    e.data.fd = fd;
    if (epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &e) != 0) return false;
    if (static_cast<size_t>(fd) >= watches.size()) watches.resize(static_cast<size_t>(fd) + 1);
    watches[static_cast<size_t>(fd)] = TcpWatch{owner, fn, ev};
    return true;
}

void tcp_watch_events(int fd, uint32_t ev) {
    TcpWatch *w = tcp_watch_of(fd);
    if (!w) return;
    epoll_event e{};
    e.events = ev;
    e.data.fd = fd;
    if (epoll_ctl(epfd, EPOLL_CTL_MOD, fd, &e) == 0) w->events = ev;
}

int tcp_watch_wait(epoll_event *ev, int max, int ms) {
    return epoll_wait(epfd, ev, max, ms);
}

void tcp_watch_fd(int fd, void (*fn)(int)) {
    tcp_watch(fd, nullptr, fn, EPOLLIN);
}

void tcp_unwatch_fd(int fd) {
    TcpWatch *w = tcp_watch_of(fd);
    if (!w || (!w->owner && !w->fn)) return;
    epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr);
    *w = TcpWatch{};
}
