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
#include "net/reply.h"
#include "pool/ex.h"

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
