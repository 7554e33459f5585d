#include "net/tcplib.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/emsg.h"
#include "core/ini.h"
#include "core/zorvexsvr.h"
#include "lib/lib.h"
#include "net/acl.h"
#include "net/chan.h"

namespace {
int werrno;

constexpr int kTimeoutMs = 100;
constexpr short kReadEvents = POLLIN | POLLPRI;

// Reused by every cycle so that a cycle allocates nothing once warmed up.
std::vector<pollfd> pfds;
std::vector<Chan *> pchans;

// The fast loop's wait set. Each watched descriptor has an entry in the
// table, indexed by descriptor: a channel, or a function for a pool pipe. A
// descriptor leaves the set before it is closed, so no event names a freed
// record, and an event whose entry changed in the same cycle is dropped.
struct Watch {
    Chan *c = nullptr;
    void (*fn)(int) = nullptr;
    uint32_t events = 0;
};
int epfd = -1;
std::vector<Watch> watches;
constexpr int kMaxEvents = 512;
epoll_event events[kMaxEvents];
// Connections waiting to be accepted: more than the classic 25, so that a
// burst of clients is not refused while one cycle takes them all in.
constexpr int kFastBacklog = 4096;

uint32_t chan_events(const Chan *c) {
    return EPOLLIN | EPOLLPRI | (c->sending ? EPOLLOUT : 0u);
}

Watch *watch_of(int fd) {
    if (fd < 0 || static_cast<size_t>(fd) >= watches.size()) return nullptr;
    return &watches[static_cast<size_t>(fd)];
}

bool watch_add(int fd, Chan *c, void (*fn)(int), uint32_t ev) {
    if (epfd < 0) epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0 || fd < 0) return false;
    epoll_event e{};
    e.events = ev;
    e.data.fd = fd;
    if (epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &e) != 0) return false;
    if (static_cast<size_t>(fd) >= watches.size()) watches.resize(static_cast<size_t>(fd) + 1);
    watches[static_cast<size_t>(fd)] = Watch{c, fn, ev};
    return true;
}

// Puts the channels created since the last call (always at the head of the
// list) in the wait set.
void watch_new(Chan *cstart) {
    for (Chan *c = cstart; c && !c->watched; c = c->next) {
        c->watched = 1;
        if (c->sk == -1) continue;
        if (c->fn_read == chan_listen_read) {
            // All pending connections are taken per cycle: an empty queue
            // must end the accepts rather than block the one thread.
            fcntl(c->sk, F_SETFL, fcntl(c->sk, F_GETFL) | O_NONBLOCK);
            listen(c->sk, kFastBacklog);
        }
        watch_add(c->sk, c, nullptr, chan_events(c));
    }
}

// Probes every open channel on its own after a failed wait, then shuts down.
[[noreturn]] void wait_failed(Chan *cstart) {
    emsg("Select call failed, should check for bad socket\n");
    for (Chan *c = cstart; c; c = c->next) {
        if (c->sk == -1) continue;
        pollfd p{};
        p.fd = c->sk;
        p.events = POLLIN;
        if (c->sending) p.events |= POLLOUT;
        int r = poll(&p, 1, kTimeoutMs);
        if (r < 0 || (r > 0 && (p.revents & POLLNVAL))) emsg("Bad socket found %d\n", c->sk);
    }
    main_exit();
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
    return sk;
}

short tcp_accept(short xlisten) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    int fd = accept(xlisten, reinterpret_cast<sockaddr *>(&sa), &len);
    tcp_lasterror();
    if (fd < 0) return -1;
    if (!acl_allows(reinterpret_cast<sockaddr *>(&sa))) {
        imsg("Connection from %s refused: not in allow\n",
             acl_peer_text(reinterpret_cast<sockaddr *>(&sa)).c_str());
        close(fd);
        return -1;
    }
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
    close(sk);
}

int tcp_fast() {
    return strcmp(ini_get(INI_LOOP), "fast") == 0;
}

void tcp_watch_fd(int fd, void (*fn)(int)) {
    if (tcp_fast()) watch_add(fd, nullptr, fn, EPOLLIN);
}

void tcp_unwatch_fd(int fd) {
    Watch *w = watch_of(fd);
    if (!w || (!w->c && !w->fn)) return;
    epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr);
    *w = Watch{};
}

void tcp_update(Chan *c) {
    Watch *w = watch_of(c->sk);
    if (!w || w->c != c) return;
    uint32_t ev = chan_events(c);
    if (ev == w->events) return;
    epoll_event e{};
    e.events = ev;
    e.data.fd = c->sk;
    if (epoll_ctl(epfd, EPOLL_CTL_MOD, c->sk, &e) == 0) w->events = ev;
}

namespace {
// One cycle of the fast loop: no pause, a wait that ends at the first ready
// descriptor or after 100 ms, then the callbacks of what is ready. Channels
// are visited in the order the kernel reports them; each connection's own
// replies keep their order.
int wait_fast(Chan *cstart) {
    watch_new(cstart);
    imsg_sync();
    int nc = epoll_wait(epfd, events, kMaxEvents, kTimeoutMs);
    if (nc < 0 && errno == EINTR) nc = 0;
    if (nc < 0) wait_failed(cstart);
    for (int i = 0; i < nc; i++) {
        int fd = events[i].data.fd;
        uint32_t re = events[i].events;
        Watch *w = watch_of(fd);
        if (!w) continue;
        if (w->fn) {
            w->fn(fd);
            continue;
        }
        Chan *c = w->c;
        if (!c || c->sk != fd) continue;
        if ((re & (EPOLLIN | EPOLLPRI | EPOLLHUP | EPOLLERR)) && c->fn_read) c->fn_read(c, c->p1);
        if (c->sk != -1 && c->sending && (re & (EPOLLOUT | EPOLLERR | EPOLLHUP)) && c->fn_write)
            c->fn_write(c, c->p1);
        if (c->sk != -1) tcp_update(c);
    }
    // Accepted connections are watched at once: their first bytes may
    // already be waiting.
    watch_new(clist);
    if (nc < 1) chan_idle();
    chan_loop();
    return 0;
}
}  // namespace

int tcp_waitchans(Chan *cstart) {
    if (tcp_fast()) return wait_fast(cstart);
    pfds.clear();
    pchans.clear();
    for (Chan *c = cstart; c; c = c->next) {
        if (c->sk == -1) continue;
        pollfd p{};
        p.fd = c->sk;
        p.events = kReadEvents;
        if (c->sending) p.events |= POLLOUT;
        pfds.push_back(p);
        pchans.push_back(c);
    }
    int nc = 0;
    if (pfds.empty()) {
        lib_sleep(1);
    } else {
        lib_msleep(10);
        nc = poll(pfds.data(), pfds.size(), kTimeoutMs);
        // A stop and continue of the process interrupts the wait: not a failure.
        if (nc < 0 && errno == EINTR) nc = 0;
        if (nc < 0) wait_failed(cstart);
        for (const pollfd &p : pfds)
            if (p.revents & POLLNVAL) wait_failed(cstart);
    }
    if (nc >= 1) {
        // Records created by callbacks sit ahead of cstart and wait for the
        // next cycle; none is freed before chan_idle below.
        for (size_t i = 0; i < pchans.size(); i++) {
            Chan *c = pchans[i];
            short re = pfds[i].revents;
            if (c->sk == -1 || re == 0) continue;
            if ((re & (kReadEvents | POLLHUP | POLLERR)) && c->fn_read) c->fn_read(c, c->p1);
            if (c->sk != -1 && c->sending && (re & (POLLOUT | POLLERR | POLLHUP)) && c->fn_write)
                c->fn_write(c, c->p1);
        }
    } else {
        chan_idle();
    }
    chan_loop();
    return 0;
}
