#include "net/chan.h"

#include <cstring>
#include <new>
#include <sys/epoll.h>

#include "core/emsg.h"
#include "net/tcplib.h"

Chan *clist = nullptr;

namespace {
constexpr int kFirstInSize = 4000;
constexpr int kInLimit = 10000000;
constexpr int kFastAccepts = 256;
// Fast loop: set when a record may have become free, so that a cycle does
// not walk thousands of idle connections to find nothing to remove.
bool maybe_free = true;
void (*idle_work)();
ChanFn accept_read;
ChanFn accept_write;

// The one place a channel's socket is closed; the record stays in the list
// until chan_idle frees it.
void close_socket(Chan *c) {
    if (c->sk != -1) tcp_close(c->sk);
    c->sk = -1;
    maybe_free = true;
}
}  // namespace

void chan_set_idle(void (*fn)()) {
    idle_work = fn;
}

void chan_set_accept(ChanFn rd, ChanFn wr) {
    accept_read = rd;
    accept_write = wr;
}

uint32_t chan_events(const Chan *c) {
    return EPOLLIN | EPOLLPRI | (c->sending ? EPOLLOUT : 0u);
}

void chan_update(Chan *c) {
    TcpWatch *w = tcp_watch_of(c->sk);
    if (!w || w->owner != c) return;
    uint32_t ev = chan_events(c);
    if (ev != w->events) tcp_watch_events(c->sk, ev);
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
    chan_idle();
    if (idle_work) idle_work();
}

void chan_release(Chan *c) {
    c->canclose = 1;
    maybe_free = true;
}

void chan_idle() {
    if (!maybe_free && tcp_fast()) return;
    maybe_free = false;
    Chan *kept = nullptr;
    Chan *c = clist;
    while (c) {
        Chan *next = c->next;
        if (c->sk == -1 && c->canclose) {
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

void chan_exit() {
    for (Chan *c = clist; c; c = c->next) {
        chan_close(c);
        c->canclose = 1;
    }
    chan_idle();
}

int chan_write(Chan *c, char *bf, int len) {
    if (c->sk == -1) return -1;
    // A client holding its reply finds its request's log lines.
    imsg_sync();
    int n = tcp_write(c->sk, bf, len);
    if (n >= 0) return n;
    imsg("Write failed (%s)\n", tcperror());
    close_socket(c);
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

int chan_readin(Chan *c) {
    if (!c->in) {
        c->in.reset(static_cast<char *>(malloc(kFirstInSize + 1)));
        if (!c->in) {
            // Without a buffer the connection cannot be served at all.
            emsg("CHAN_READIN, header request too big\n");
            chan_close(c);
            return 0;
        }
        c->insz = kFirstInSize;
        c->inat = 0;
        c->in.get()[0] = 0;
    }
    int room = c->insz - c->inat;
    if (room < 1) {
        if (!chan_growin(c)) {
            emsg("CHAN_READIN, header request too big\n");
            chan_close(c);
            return 0;
        }
        room = c->insz - c->inat;
    }
    char *at = c->in.get() + c->inat;
    int n = tcp_read(c->sk, at, room);
    if (n < 0) {
        emsg("chan_readin() Socket closed on read\n");
        chan_close(c);
        return 0;
    }
    if (n > 0 && c->rin) xlate_in(c->rin.get(), at, n);
    c->inat += n;
    c->in.get()[c->inat] = 0;
    return 1;
}

int chan_lines(Chan *c, int (*do_lines)(Chan *, char *)) {
    char *in = c->in.get();
    if (!in) return 1;
    char *s = in;
    char *start = in;
    while (*s) {
        if (*s == '\n') {
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
    int max = tcp_fast() ? kFastAccepts : 1;
    for (int i = 0; i < max; i++) {
        short sk = tcp_accept(c->sk);
        if (sk == -1) return i > 0;
        Chan *n = chan_new();
        n->sk = sk;
        imsg("Chan accepted, channel %p, socket=%d\n", static_cast<void *>(n), sk);
        n->fn_read = accept_read;
        n->fn_write = accept_write;
        n->type = C_HTTP;
        n->canclose = 1;
        n->sending = 0;
    }
    return 1;
}

int chan_listen_write(Chan *c, void *) {
    imsg("listen_write %p %d\n", static_cast<void *>(c), c->sk);
    return 1;
}
