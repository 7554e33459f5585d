#include "net/chan.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <vector>

#include "core/emsg.h"
#include "core/metrics.h"
#include "lib/lib.h"
#include "net/tcplib.h"
#include "net/timer.h"

Chan *clist = nullptr;

namespace {
constexpr int kFirstInSize = 4000;
constexpr int kInLimit = 10000000;
constexpr int kFastAccepts = 256;
// Fast loop: set when a record may have become free, so that a cycle does
// not walk thousands of idle connections to find nothing to remove.
bool maybe_free = true;
// Set when a resumed channel has request lines waiting in its buffer.
bool relines_pending = false;
void (*idle_work)();
ChanFn accept_read;
ChanFn accept_write;

int wait_classic(Chan *cstart);
int wait_fast(Chan *cstart);

// The two loops' own steps and limits, picked once by chan_use_loop.
struct LoopSteps {
    int (*wait)(Chan *cstart);  // one cycle
    int accepts;                // connections taken per ready listening socket
    // chan_idle walks the list only when a record may have become free.
    bool lazy_idle;
};
constexpr LoopSteps kClassicLoop{wait_classic, 1, false};
constexpr LoopSteps kFastLoop{wait_fast, kFastAccepts, true};
const LoopSteps *loop = &kClassicLoop;

uint64_t closed_errors;
const MetricFamily closed_errors_family{
    "connections_closed_errors", MetricType::kCounter,
    "Client connections the server closed for a fault: a failed write or TLS record, input or "
    "output over its limit, a failed TLS handshake, a wrong shared secret.",
    [](MetricOut &o) { o.sample("", static_cast<double>(closed_errors)); }};

// The one place a channel's socket is closed; the record stays in the list
// until chan_idle frees it.
void close_socket(Chan *c, bool fault = false) {
    if (c->sk != -1 && (fault || (c->tlswant & kTlsFailed))) closed_errors++;
    tls_stop(c);
    if (c->sk != -1) tcp_close(c->sk);
    c->sk = -1;
    maybe_free = true;
}
}  // namespace

void chan_use_loop(bool fast) {
    loop = fast ? &kFastLoop : &kClassicLoop;
}

void chan_set_idle(void (*fn)()) {
    idle_work = fn;
}

void chan_set_accept(ChanFn rd, ChanFn wr) {
    accept_read = rd;
    accept_write = wr;
}

uint32_t chan_events(const Chan *c) {
    // A TLS record-layer call may need the other direction to go on.
    bool in = !c->paused || (c->tlswant & kTlsWriteWantsRead);
    bool out = c->sending || (c->tlswant & kTlsReadWantsWrite);
    return (in ? EPOLLIN | EPOLLPRI : 0u) | (out ? EPOLLOUT : 0u);
}

void chan_update(Chan *c) {
    TcpWatch *w = tcp_watch_of(c->sk);
    if (!w || w->owner != c) return;
    uint32_t ev = chan_events(c);
    if (ev != w->events) tcp_watch_events(c->sk, ev);
}

void chan_pause(Chan *c, int on) {
    if (c->paused == on) return;
    c->paused = on;
    if (!on && (c->inat > 0 || tls_pending(c) > 0)) {
        c->relines = 1;
        relines_pending = true;
    }
    chan_update(c);
}

int chan_init() {
    tcp_startup();
    return 1;
}

Chan *chan_new() {
    Chan *c = new (std::nothrow) Chan;
    if (!c) abort();
    c->next = clist;
    clist = c;
    return c;
}

void chan_setread(Chan *c, ChanFn fn, void *p1) {
    c->fn_read = fn;
    c->p1 = p1;
}

void chan_setwrite(Chan *c, ChanFn fn, void *p1) {
    c->fn_write = fn;
    c->p1 = p1;
}

void chan_setsending(Chan *c, int t) {
    c->sending = t;
    chan_update(c);
}

void chan_loop() {
    tls_expire();
    chan_idle();
    if (idle_work) idle_work();
}

void chan_release(Chan *c) {
    c->canclose = 1;
    maybe_free = true;
}

void chan_hold(Chan *c, int on) {
    c->held += on ? 1 : -1;
    maybe_free = true;
}

void chan_idle() {
    if (!maybe_free && loop->lazy_idle) return;
    maybe_free = false;
    Chan *kept = nullptr;
    Chan *c = clist;
    while (c) {
        Chan *next = c->next;
        if (c->sk == -1 && c->canclose && !c->held) {
            imsg("Removing channel %p from list\n", static_cast<void *>(c));
            if (kept)
                kept->next = next;
            else
                clist = next;
            delete c;
        } else {
            kept = c;
        }
        c = next;
    }
}

int chan_close(Chan *c) {
    imsg("Chan_close(%p sk=%d)\n", static_cast<void *>(c), c->sk);
    close_socket(c);
    return 1;
}

int chan_close_error(Chan *c) {
    imsg("Chan_close(%p sk=%d)\n", static_cast<void *>(c), c->sk);
    close_socket(c, true);
    return 1;
}

void chan_exit() {
    for (Chan *c = clist; c; c = c->next) {
        chan_close(c);
        c->canclose = 1;
        c->held = 0;
    }
    chan_idle();
}

int chan_write(Chan *c, char *bf, int len) {
    if (c->sk == -1) return -1;
    // A client holding its reply finds its request's log lines.
    imsg_sync();
    int n = c->tls ? tls_write(c, bf, len) : tcp_write(c->sk, bf, len);
    if (n >= 0) return n;
    imsg("Write failed (%s)\n", tcperror());
    close_socket(c, true);
    return n;
}

int chan_growin(Chan *c) {
    if (c->insz > kInLimit) return 0;
    int nsz = 2 * c->insz + 1000;
    char *p = static_cast<char *>(realloc(c->in.get(), static_cast<size_t>(nsz) + 1));
    if (!p) return 0;
    (void)c->in.release();
    c->in.reset(p);
    c->insz = nsz;
    return 1;
}

namespace {
// One read into c's input buffer: the count read, or -1 when c was closed.
int read_once(Chan *c) {
    if (!c->in) {
        c->in.reset(static_cast<char *>(malloc(kFirstInSize + 1)));
        if (!c->in) {
            // Without a buffer the connection cannot be served at all.
            emsg("CHAN_READIN, header request too big\n");
            chan_close_error(c);
            return -1;
        }
        c->insz = kFirstInSize;
        c->inat = 0;
        c->in.get()[0] = 0;
    }
    int room = c->insz - c->inat;
    if (room < 1) {
        if (!chan_growin(c)) {
            emsg("CHAN_READIN, header request too big\n");
            chan_close_error(c);
            return -1;
        }
        room = c->insz - c->inat;
    }
    char *at = c->in.get() + c->inat;
    int n = c->tls ? tls_read(c, at, room) : tcp_read(c->sk, at, room);
    if (n < 0) {
        emsg("chan_readin() Socket closed on read\n");
        chan_close(c);
        return -1;
    }
    if (n > 0 && c->rin) xlate_in(c->rin.get(), at, n);
    c->inat += n;
    c->in.get()[c->inat] = 0;
    return n;
}
}  // namespace

int chan_readin(Chan *c) {
    // A paused connection's bytes stay in the kernel: that is what makes its
    // client wait.
    if (c->paused) return 1;
    int n;
    // What a TLS record layer holds already never wakes the wait; the input
    // limit ends a peer that keeps it full.
    while ((n = read_once(c)) > 0 && tls_pending(c) > 0) {
    }
    return n < 0 ? 0 : 1;
}

int chan_lines(Chan *c, int (*do_lines)(Chan *, char *)) {
    char *in = c->in.get();
    if (!in) return 1;
    char *s = in;
    char *start = in;
    while (*s) {
        if (*s == '\n') {
            if (c->paused) break;
            *s = 0;
            if (s > start && s[-1] == '\r') s[-1] = 0;
            if (!do_lines(c, start)) break;
            start = s + 1;
        }
        s++;
    }
    // The handler may have closed the channel, but the buffer stays with it.
    long rest = c->inat - (start - in);
    if (rest < 0) {
        emsg("PANIC, REST IS NEGATIVE\n");
        rest = 0;
    }
    memmove(in, start, static_cast<size_t>(rest));
    in[rest] = 0;
    c->inat = static_cast<int>(rest);
    return 1;
}

int chan_listen_read(Chan *c, void *) {
    int max = loop->accepts;
    for (int i = 0; i < max; i++) {
        short sk = tcp_accept(c->sk);
        if (sk == kTcpShed) continue;
        if (sk == -1) return i > 0;
        Chan *n = chan_new();
        n->sk = sk;
        imsg("Chan accepted, channel %p, socket=%d\n", static_cast<void *>(n), sk);
        n->fn_read = accept_read;
        n->fn_write = accept_write;
        n->type = C_HTTP;
        n->canclose = 1;
        n->sending = 0;
        if (c->tlslisten && !tls_start(n)) chan_close(n);
    }
    return 1;
}

int chan_listen_write(Chan *c, void *) {
    imsg("listen_write %p %d\n", static_cast<void *>(c), c->sk);
    return 1;
}

// --- The wait: one cycle over every channel.

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

int tcp_waitchans(Chan *cstart) {
    return loop->wait(cstart);
}

namespace {
// The step both loops share: the callbacks of one ready channel. Its read
// callback when it is readable or in error; then, unless that closed it, its
// write callback while output waits and the socket takes it.
void run_ready(Chan *c, bool readable, bool writable) {
    // A TLS call waiting for the other direction goes on at any readiness.
    if (c->tlswant & (kTlsReadWantsWrite | kTlsWriteWantsRead)) readable = writable = true;
    if (readable && c->fn_read) c->fn_read(c, c->p1);
    if (c->sk != -1 && c->sending && writable && c->fn_write) c->fn_write(c, c->p1);
}

// The end of every cycle: a cycle that found nothing ready frees closed
// records at once, then the idle work.
void end_cycle(int nready) {
    timer_run(timer_now_ms());
    if (nready < 1) chan_idle();
    chan_loop();
}

// Hands on the buffered lines of channels resumed since the last call. The
// walk is over the list, so a record freed meanwhile is never touched.
void resume_lines() {
    if (!relines_pending) return;
    relines_pending = false;
    for (Chan *c = clist; c; c = c->next) {
        if (!c->relines) continue;
        c->relines = 0;
        if (c->sk != -1 && !c->paused && c->fn_read) c->fn_read(c, c->p1);
    }
}

// One cycle of the fast loop: no pause, a wait that ends at the first ready
// descriptor or after 100 ms, then the callbacks of what is ready. Channels
// are visited in the order the kernel reports them; each connection's own
// replies keep their order.
int wait_fast(Chan *cstart) {
    watch_new(cstart);
    imsg_sync();
    int nc = tcp_watch_wait(events, kMaxEvents, timer_wait_ms(kTimeoutMs, timer_now_ms()));
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
        run_ready(c, re & (EPOLLIN | EPOLLPRI | EPOLLHUP | EPOLLERR),
                  re & (EPOLLOUT | EPOLLERR | EPOLLHUP));
        if (c->sk != -1) chan_update(c);
    }
    resume_lines();
    // Accepted connections are watched at once: their first bytes may
    // already be waiting.
    watch_new(clist);
    end_cycle(nc);
    return 0;
}

// One cycle of the classic loop: a 10 ms pause, then a poll of every open
// channel for at most 100 ms.
int wait_classic(Chan *cstart) {
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
        nc = poll(pfds.data(), pfds.size(), timer_wait_ms(kTimeoutMs, timer_now_ms()));
        // A stop and continue of the process interrupts the wait: not a failure.
        if (nc < 0 && errno == EINTR) nc = 0;
        if (nc < 0) wait_failed(cstart);
        for (const pollfd &p : pfds)
            if (p.revents & POLLNVAL) wait_failed(cstart);
    }
    // Records created by callbacks sit ahead of cstart and wait for the next
    // cycle; none is freed before end_cycle.
    for (size_t i = 0; nc >= 1 && i < pchans.size(); i++) {
        Chan *c = pchans[i];
        short re = pfds[i].revents;
        if (c->sk == -1 || re == 0) continue;
        run_ready(c, re & (kReadEvents | POLLHUP | POLLERR), re & (POLLOUT | POLLERR | POLLHUP));
    }
    end_cycle(nc);
    return 0;
}
}  // namespace
