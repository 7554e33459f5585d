// Fuzz target: bytes from a client through a channel's reads (deciphered when
// the channel is enciphered), its line splitter and the session's line
// handler, in engine mode, with the replies drained from the other end.
//
// Input: byte 0 chooses the mode (bit 0: enciphered from the start) and
// bytes 1-2 the seed of the read sizes; the rest is what the client sends.
// In enciphered mode it is enciphered with the same keystream first, so the
// server reads exactly these bytes as plain text.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "core/emsg.h"
#include "core/ini.h"
#include "fuzz_env.h"
#include "net/chan.h"
#include "session/io.h"
#include "lib/xlate.h"

namespace {

void drain(int fd) {
    char buf[8192];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

// Hands the server whatever is waiting; stops once the channel is closed.
void serve(Chan *c, int client) {
    for (;;) {
        int pending = 0;
        if (c->sk == -1 || ioctl(c->sk, FIONREAD, &pending) != 0 || pending == 0) break;
        if (!io_read(c, nullptr)) break;
        drain(client);
    }
    drain(client);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // As the server's main does before it starts.
    ini_bind();
    log_bind();
    fuzz::load_config();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3 || fuzz::has_slow_command(data, size)) return 0;
    fuzz::reset_engine(fuzz::seed_database());
    bool enciphered = data[0] & 1;
    unsigned rs = static_cast<unsigned>(data[1]) << 8 | data[2];
    data += 3;
    size -= 3;

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
    fcntl(sv[0], F_SETFL, O_NONBLOCK);
    fcntl(sv[1], F_SETFL, O_NONBLOCK);
    Chan c;
    c.sk = static_cast<short>(sv[0]);
    c.fn_read = io_read;
    c.fn_write = io_write;
    c.canclose = 1;
    RhandPtr client_out;
    if (enciphered) {
        uint32_t seed = xlate_seed("fuzz secret", static_cast<int>(rs));
        c.rin.reset(rand_seed(seed));
        c.rout.reset(rand_seed(seed));
        client_out.reset(rand_seed(seed));
    }

    // Read sizes from 1 to 512 bytes, so lines are split across reads anyhow.
    size_t off = 0;
    while (off < size && c.sk != -1) {
        rs = rs * 1103515245u + 12345u;
        size_t n = 1 + (rs >> 16) % 512;
        if (n > size - off) n = size - off;
        char chunk[512];
        memcpy(chunk, data + off, n);
        if (client_out) xlate_out(client_out.get(), chunk, static_cast<int>(n));
        if (write(sv[1], chunk, n) != static_cast<ssize_t>(n)) abort();
        off += n;
        serve(&c, sv[1]);
    }
    // The client goes away: the channel must notice and close.
    close(sv[1]);
    for (int i = 0; i < 4 && c.sk != -1; i++) io_read(&c, nullptr);
    if (c.sk != -1) abort();
    kvauth_setprint(nullptr);
    return 0;
}
