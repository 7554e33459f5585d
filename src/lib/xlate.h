// Channel cipher: the keystream generator (MT19937 with its original 1998
// seeding), the byte transforms, the string hash and the shared-secret file.
// Used by the channel layer (decrypts input), the session layer (handshake,
// encrypts replies) and the project's client module.
// Pure but for the secret file's read; generators are owned by their
// channel (RhandPtr). One thread.
#pragma once

#include <cstdint>
#include <memory>

struct RHAND {
    uint32_t mt[624];
    int mti;
    uint32_t mag01[2];
};
typedef RHAND Rhand;

struct RhandDeleter {
    void operator()(Rhand *r) const;
};
using RhandPtr = std::unique_ptr<Rhand, RhandDeleter>;

// A newly seeded generator, or null when memory is short.
Rhand *rand_seed(unsigned long seed);
unsigned long rand_next(Rhand *r);
void rand_free(Rhand *r);

// In-place transforms: decrypt adds the keystream byte, encrypt subtracts it.
int xlate_in(Rhand *r, char *in, int len);
int xlate_out(Rhand *r, char *in, int len);

// t = t * 16 + (signed char) c over the string, in 32-bit wrap-around.
int xlate_hash(const char *s);

// The first line of the secret file (default /etc/xlate.dat); with makeit the
// file is created (mode 0600) when missing or empty. Never null; "" when none.
// The result lives in a buffer that the next call overwrites.
char *xlate_secret(const char *xfname, int makeit);
// Why the last xlate_secret gave "": "(<path>) <error text>"; "" after a
// call that found a secret.
const char *xlate_secret_error();

char *xlate_ncpy(char *dst, const char *src, int len);

// Check value a client sends with encrypt: the hash modulo 20, signed.
int xlate_check_value(const char *secret);
// Generator seed both ends derive from the secret and the server's number.
uint32_t xlate_seed(const char *secret, int t);
