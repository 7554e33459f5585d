#include "session/io.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/emsg.h"
#include "core/ini.h"
#include "engine/kvcmd.h"
#include "engine/kvprint.h"
#include "lib/lib.h"
#include "lib/xlate.h"
#include "net/chan.h"
#include "pool/ex.h"

// --- The reply path: framing, enciphering and queuing reply lines.
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

// --- The line protocol.
namespace {
int isextern;
Chan *callback_chan;
int callback_rid;
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
    imsg("secret string (%s), must match on client and server\n", secret);
    if (*check) {
        int mine = xlate_check_value(secret);
        int theirs = atoi(check);
        if (mine != theirs) {
            io_printf(c, "%d +ERR You must copy xlate.dat wrong shared secret\r\n", rid);
            io_write(c, nullptr);
            imsg("%d +ERR You must copy xlate.dat wrong shared secret %d %s %s\r\n", rid, mine,
                 check, secret);
            chan_close(c);
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
    io_defer(c);
    chan_lines(c, io_line);
    io_defer(nullptr);
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
    dmsg("Command: (%s)  %s\n", cmd, line);
    imsg("Command: %s ...\n", cmd);
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
    if (isextern)
        ex_cmd(c, pass_on);
    else
        io_cmd(c, pass_on);
    return 1;
}

namespace {
// The engine is about to stop the process: what waits for the socket now
// would never be written.
void io_callback_flush() {
    if (callback_chan && callback_chan->sk != -1 && callback_chan->outlen > 0)
        io_write(callback_chan, nullptr);
}
}  // namespace

int io_cmd(Chan *c, char *cmdline) {
    char *sp = strchr(cmdline, ' ');
    if (!sp) return 0;
    int rid = atoi(cmdline);
    buf_clear();
    kvauth_setprint(io_callback_send);
    kvauth_setflush(io_callback_flush);
    callback_chan = c;
    callback_rid = rid;
    do_command(sp + 1);
    buf_clear();
    return 1;
}

void io_callback_send(char *data) {
    if (!callback_chan) return;
    data[strcspn(data, "\r")] = 0;
    data[strcspn(data, "\n")] = 0;
    io_printf(callback_chan, "%d %s\r\n", callback_rid, data);
}
