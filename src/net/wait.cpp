#include "net/wait.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <vector>

#include "core/emsg.h"
#include "lib/lib.h"
#include "net/chan.h"
#include "net/tcplib.h"

namespace {
constexpr int kTimeoutMs = 100;
constexpr short kReadEvents = POLLIN | POLLPRI;

// Reused by every cycle so that a cycle allocates nothing once warmed up.
std::vector<pollfd> pfds;
std::vector<Chan *> pchans;

constexpr int kMaxEvents = 512;
epoll_event events[kMaxEvents];
// Connections waiting to be accepted: more than the classic 25, so that a
// burst of clients is not refused while one cycle takes them all in.
constexpr int kFastBacklog = 4096;

void (*on_fatal)();

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
        tcp_watch(c->sk, c, nullptr, chan_events(c));
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
    if (on_fatal) on_fatal();
    // Without a server around the loop there is nothing to shut down.
    exit(0);
}
}  // namespace

void tcp_set_fatal(void (*fn)()) {
    on_fatal = fn;
}

void chan_run() {
    tcp_waitchans(clist);
}

namespace {
// One cycle of the fast loop: no pause, a wait that ends at the first ready
// descriptor or after 100 ms, then the callbacks of what is ready. Channels
// are visited in the order the kernel reports them; each connection's own
// replies keep their order.
int wait_fast(Chan *cstart) {
    watch_new(cstart);
    imsg_sync();
    int nc = tcp_watch_wait(events, kMaxEvents, kTimeoutMs);
    if (nc < 0 && errno == EINTR) nc = 0;
    if (nc < 0) wait_failed(cstart);
    for (int i = 0; i < nc; i++) {
        int fd = events[i].data.fd;
        uint32_t re = events[i].events;
        TcpWatch *w = tcp_watch_of(fd);
        if (!w) continue;
        if (w->fn) {
            w->fn(fd);
            continue;
        }
        Chan *c = static_cast<Chan *>(w->owner);
        if (!c || c->sk != fd) continue;
        if ((re & (EPOLLIN | EPOLLPRI | EPOLLHUP | EPOLLERR)) && c->fn_read) c->fn_read(c, c->p1);
        if (c->sk != -1 && c->sending && (re & (EPOLLOUT | EPOLLERR | EPOLLHUP)) && c->fn_write)
            c->fn_write(c, c->p1);
        if (c->sk != -1) chan_update(c);
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
