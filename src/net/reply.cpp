#include "net/reply.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/emsg.h"
#include "lib/xlate.h"
#include "net/chan.h"

namespace {
// The connection whose input is being handled: its replies are written once,
// after all its lines, instead of one write per reply.
Chan *deferred_chan;

constexpr int kOutSize = 8000;
constexpr int kReplySize = 2000;
}  // namespace

void io_defer(Chan *c) {
    deferred_chan = c;
}

int io_printf(Chan *c, const char *fmt, ...) {
    char bf[kReplySize];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(bf, sizeof bf, fmt, ap);
    va_end(ap);
    if (n < 0) return 0;
    if (n >= kReplySize) {
        // Cut a long reply so that the line still ends with its CR LF.
        n = kReplySize - 1;
        bf[n - 2] = '\r';
        bf[n - 1] = '\n';
    }
    return io_write_bf(c, bf, n);
}

int io_write_bf(Chan *c, char *bf, int n) {
    if (!c->out) {
        c->out.reset(static_cast<char *>(malloc(kOutSize)));
        if (!c->out) return 0;
        c->outlen = 0;
    }
    // Deferred output is written before a reply is dropped for want of room,
    // so deferring never loses a reply that writing at once would have kept.
    if (n + c->outlen + 10 > kOutSize && c == deferred_chan) io_write(c, nullptr);
    if (n + c->outlen + 10 > kOutSize) return 0;
    if (c->rout) xlate_out(c->rout.get(), bf, n);
    memcpy(c->out.get() + c->outlen, bf, static_cast<size_t>(n));
    c->outlen += n;
    if (c == deferred_chan) return 1;
    return io_write(c, nullptr);
}

int io_write(Chan *c, void *) {
    if (c->outlen <= 0) {
        chan_setsending(c, 0);
        return 1;
    }
    int n = chan_write(c, c->out.get(), c->outlen);
    if (n < 0) {
        emsg("Chan write to failed\n");
        return 0;
    }
    c->outlen -= n;
    memmove(c->out.get(), c->out.get() + n, static_cast<size_t>(c->outlen));
    // Keep asking for writability only while something is left.
    chan_setsending(c, c->outlen > 0 ? 1 : 0);
    return 1;
}
