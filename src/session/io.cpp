#include "session/io.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/emsg.h"
#include "core/ini.h"
#include "engine/kvcmd.h"
#include "lib/lib.h"
#include "lib/xlate.h"
#include "net/chan.h"
#include "pool/ex.h"
#include "session/req.h"

// --- The reply path: framing, enciphering and queuing reply lines.
namespace {

// The classic loop keeps at most kOutSize - kSlack bytes waiting and drops a
// reply line that does not fit, unless the line ends its request. The fast
// loop drops nothing: a connection's output starts at kOutSize and grows up
// to kOutCap; past it the connection is closed. Above kOutHigh the
// connection's requests are not read until its output is down to kOutLow,
// so one client cannot make the server hold more than a few replies' worth
// beyond what it has read.
constexpr int kOutSize = 8000;
constexpr int kSlack = 10;
constexpr int kOutCap = 64 << 20;
constexpr int kOutHigh = 1 << 20;
constexpr int kOutLow = 256 << 10;
constexpr int kReplySize = 2000;

// The two loops' rules for waiting output, picked once by io_use_loop.
struct OutRules {
    int cap;          // the most bytes that may wait, slack included
    bool drops_data;  // a "+DATA" line that does not fit is dropped
    bool pauses;      // above kOutHigh the connection's requests wait
};
constexpr OutRules kClassicOut{kOutSize, true, false};
constexpr OutRules kFastOut{kOutCap + kSlack, false, true};
const OutRules *rules = &kClassicOut;

// The replies that end a request: a client waits for one of them, so losing
// one would leave it waiting for ever. Only intermediate lines ("+DATA") may
// be dropped.
bool ends_request(const char *bf, int n) {
    const char *end = bf + n;
    const char *p = bf;
    if (p < end && *p == '-') p++;
    while (p < end && *p >= '0' && *p <= '9') p++;
    if (p == end || *p != ' ') return false;
    p++;
    for (const char *word : {"+OK", "-ERR", "+ERR", "-DEAD", "+ENCRYPT"}) {
        size_t len = strlen(word);
        if (static_cast<size_t>(end - p) >= len && memcmp(p, word, len) == 0) return true;
    }
    return false;
}

// Makes room for n more bytes behind the waiting ones, moving them to the
// front or into a larger buffer; false when the output may not grow so far.
bool out_room(Chan *c, int n) {
    int need = c->outlen + n + kSlack;
    // The common case, a reply behind little or nothing, decides without
    // asking which loop runs.
    if (need <= kOutSize && c->outat + need <= c->outsz) return true;
    int limit = rules->cap;
    if (need > limit) return false;
    if (c->outat + need <= c->outsz) return true;
    // Moving is cheap while the waiting part is no larger than what was
    // written before it; else the buffer doubles.
    int size = c->outsz;
    if (need > size || c->outlen > c->outat) size = std::min(std::max(need, 2 * size), limit);
    char *from = c->out.get() + c->outat;
    if (size == c->outsz) {
        memmove(c->out.get(), from, static_cast<size_t>(c->outlen));
    } else {
        CharBuf grown(static_cast<char *>(malloc(static_cast<size_t>(size))));
        if (!grown) return false;
        memcpy(grown.get(), from, static_cast<size_t>(c->outlen));
        c->out = std::move(grown);
        c->outsz = size;
    }
    c->outat = 0;
    return true;
}

void out_close(Chan *c, int n) {
    emsg("Output to socket %d full (%d bytes waiting, %d more), connection closed\n", c->sk,
         c->outlen, n);
    chan_close_error(c);
    c->out.reset();
    c->outat = c->outlen = c->outsz = 0;
}
}  // namespace

void io_use_loop(bool fast) {
    rules = fast ? &kFastOut : &kClassicOut;
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
    // Nobody reads a closed connection's output.
    if (c->sk == -1) return 0;
    if (!c->out) {
        c->out.reset(static_cast<char *>(malloc(kOutSize)));
        if (!c->out) return 0;
        c->outat = c->outlen = 0;
        c->outsz = kOutSize;
    }
    // Deferred output is written before a reply is dropped (or the buffer
    // grows) for want of room: deferring must not lose or hold a reply that
    // writing at once would have sent.
    if (c->outlen + n + kSlack > kOutSize && c->deferred) io_write(c, nullptr);
    if (c->sk == -1) return 0;
    if (!out_room(c, n)) {
        if (rules->drops_data && !ends_request(bf, n)) return 0;
        // Fast loop beyond its cap, or the end of a request that cannot wait:
        // the client learns it from the closed connection, not by waiting.
        if (c->outlen > 0) io_write(c, nullptr);
        if (c->sk == -1) return 0;
        if (!out_room(c, n)) {
            out_close(c, n);
            return 0;
        }
    }
    if (c->rout) xlate_out(c->rout.get(), bf, n);
    memcpy(c->out.get() + c->outat + c->outlen, bf, static_cast<size_t>(n));
    c->outlen += n;
    if (c->outlen > kOutHigh && rules->pauses) chan_pause(c, 1);
    if (c->deferred) return 1;
    return io_write(c, nullptr);
}

int io_write(Chan *c, void *) {
    if (c->outlen <= 0) {
        chan_setsending(c, 0);
        return 1;
    }
    int n = chan_write(c, c->out.get() + c->outat, c->outlen);
    if (n < 0) {
        emsg("Chan write to failed\n");
        c->out.reset();
        c->outat = c->outlen = c->outsz = 0;
        return 0;
    }
    c->outat += n;
    c->outlen -= n;
    if (c->outlen == 0) {
        c->outat = 0;
        // A large buffer is not kept for a connection that has caught up.
        if (c->outsz > kOutSize) {
            c->out.reset();
            c->outsz = 0;
        }
    }
    if (c->paused && c->outlen <= kOutLow) chan_pause(c, 0);
    // Keep asking for writability only while something is left.
    chan_setsending(c, c->outlen > 0 ? 1 : 0);
    return 1;
}

// --- The line protocol.
namespace {
int isextern;
constexpr int kPassOn = 990;
constexpr int kWordScan = 100;
constexpr int kWordMax = 200;

bool is_sep(char c) {
    return c == ' ' || c == '\r' || c == '\n';
}

// Splits the first 100 characters of a line into up to four words.
void split_words(const char *line, char words[4][kWordMax + 1]) {
    char head[kWordScan + 1];
    ncpy(head, line, kWordScan);
    const char *p = head;
    for (int w = 0; w < 4; w++) {
        words[w][0] = 0;
        while (*p && is_sep(*p)) p++;
        const char *s = p;
        while (*p && !is_sep(*p)) p++;
        int n = static_cast<int>(p - s);
        if (n > kWordMax) n = kWordMax;
        memcpy(words[w], s, static_cast<size_t>(n));
        words[w][n] = 0;
    }
}

int do_encrypt(Chan *c, int rid, const char *token, const char *check) {
    int t = static_cast<int>(static_cast<unsigned>(time(nullptr)) + static_cast<unsigned>(clock()));
    const char *secret = xlate_secret(ini_get(INI_SECRET_FILE), 1);
    if (!*secret) {
        // Anyone can key a channel with the empty secret: no handshake then.
        emsg("Unable to generate secret file contents\n");
        emsg("Cannot use secret file %s; encryption refused\n", xlate_secret_error());
        io_printf(c, "%d -ERR No shared secret on the server, encryption refused\r\n", rid);
        return 1;
    }
    imsg("secret string (%s), must match on client and server\n", log_secret(secret));
    if (*check) {
        int mine = xlate_check_value(secret);
        int theirs = atoi(check);
        if (mine != theirs) {
            io_printf(c, "%d +ERR You must copy xlate.dat wrong shared secret\r\n", rid);
            io_write(c, nullptr);
            imsg("%d +ERR You must copy xlate.dat wrong shared secret %d %s %s\r\n", rid, mine,
                 check, log_secret(secret));
            chan_close_error(c);
            return 0;
        }
    }
    io_printf(c, "%d +ENCRYPT %d %s Encryption enabled\r\n", rid, t, token);
    uint32_t seed = xlate_seed(secret, t);
    c->rin.reset(rand_seed(seed));
    c->rout.reset(rand_seed(seed));
    return 1;
}
}  // namespace

int io_read(Chan *c, void *) {
    if (!chan_readin(c)) return 0;
    // The replies to all the lines read are written once, after the last.
    c->deferred = 1;
    chan_lines(c, io_line);
    c->deferred = 0;
    if (c->sk != -1 && c->outlen > 0) io_write(c, nullptr);
    return 1;
}

int io_line(Chan *c, char *line) {
    isextern = *ini_get(INI_AUTHENT_PROCESS) ? 1 : 0;
    char pass_on[kPassOn + 1];
    ncpy(pass_on, line, kPassOn);
    char words[4][kWordMax + 1];
    split_words(line, words);
    int rid = atoi(words[0]);
    char *cmd = words[1];
    for (char *p = cmd; *p; p++) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    dmsg("Command: (%s)  %s\n", cmd, log_secret_words(line, 3));
    if (!req_logging()) imsg("Command: %s ...\n", cmd);
    if (strcmp(cmd, "encrypt") == 0) return do_encrypt(c, rid, words[2], words[3]);
    if (strcmp(cmd, "exit") == 0) {
        io_printf(c, "%d +OK exiting\r\n", rid);
        io_write(c, nullptr);
        chan_close(c);
        return 0;
    }
    if (!c->rin) {
        io_printf(c, "%d +ERR Sorry you must use encrypted mode\r\n", rid);
        return 1;
    }
    req_start(c, rid, pass_on, isextern ? ex_cmd : io_cmd);
    return 1;
}

void io_callback_send(void *to, char *data) {
    auto *r = static_cast<ReplyTo *>(to);
    data[strcspn(data, "\r")] = 0;
    data[strcspn(data, "\n")] = 0;
    io_printf(r->callback_chan, "%d %s\r\n", r->callback_rid, data);
    req_reply(r->callback_chan, r->callback_rid, data);
}

namespace {

// The engine is about to stop the process: what waits for the socket now
// would never be written.
void reply_flush(void *to) {
    Chan *c = static_cast<ReplyTo *>(to)->callback_chan;
    if (c->outlen > 0 && c->sk != -1) io_write(c, nullptr);
}
}  // namespace

// --- Requests answered after io_cmd returned (a hash on a worker thread).
namespace {
// While a connection has a held request its record is kept even when the
// connection closes, so that the late reply finds a closed record, which
// takes no output, never a freed or reused one.
void *reply_hold(void *to) {
    auto *r = static_cast<ReplyTo *>(to);
    chan_hold(r->callback_chan, 1);
    return new ReplyTo(*r);
}

void reply_release(void *to) {
    std::unique_ptr<ReplyTo> r(static_cast<ReplyTo *>(to));
    chan_hold(r->callback_chan, 0);
}
}  // namespace

int io_cmd(Chan *c, char *cmdline) {
    char *sp = strchr(cmdline, ' ');
    if (!sp) return 0;
    ReplyTo to{c, atoi(cmdline)};
    engine_request(sp + 1,
                   ReplySink{io_callback_send, reply_flush, &to, reply_hold, reply_release});
    engine_after_reply();
    return 1;
}
