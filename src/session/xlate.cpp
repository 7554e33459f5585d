#include "session/xlate.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/stat.h>

#include "lib/lib.h"

namespace {
constexpr int N = 624;
constexpr int M = 397;
constexpr uint32_t UPPER = 0x80000000u;
constexpr uint32_t LOWER = 0x7fffffffu;

char secret[1000];
char empty_secret[1] = {0};

void regenerate(Rhand *r) {
    uint32_t *mt = r->mt;
    int k = 0;
    for (; k < N - M; k++) {
        uint32_t y = (mt[k] & UPPER) | (mt[k + 1] & LOWER);
        mt[k] = mt[k + M] ^ (y >> 1) ^ r->mag01[y & 1];
    }
    for (; k < N - 1; k++) {
        uint32_t y = (mt[k] & UPPER) | (mt[k + 1] & LOWER);
        mt[k] = mt[k + (M - N)] ^ (y >> 1) ^ r->mag01[y & 1];
    }
    uint32_t y = (mt[N - 1] & UPPER) | (mt[0] & LOWER);
    mt[N - 1] = mt[M - 1] ^ (y >> 1) ^ r->mag01[y & 1];
    r->mti = 0;
}

inline uint32_t next32(Rhand *r) {
    if (r->mti >= N) regenerate(r);
    uint32_t y = r->mt[r->mti++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680u;
    y ^= (y << 15) & 0xefc60000u;
    y ^= y >> 18;
    return y;
}

// Creates the secret file with three random numbers; 0 when it can't be written.
int make_secret_file(const char *name) {
    FILE *f = fopen(name, "w");
    if (!f) {
        printf("Could not write to (%s) %s\n", name, strerror(errno));
        return 0;
    }
    unsigned seed = static_cast<unsigned>(time(nullptr)) + static_cast<unsigned>(xlate_hash(name)) +
                    static_cast<unsigned>(clock());
    srand(seed);
    int a = rand() + static_cast<int>(clock());
    int b = rand();
    int c = rand();
    fprintf(f, "%x%d%x\n", static_cast<unsigned>(a), b, static_cast<unsigned>(c));
    fclose(f);
    chmod(name, 0600);
    return 1;
}
}  // namespace

void RhandDeleter::operator()(Rhand *r) const {
    rand_free(r);
}

Rhand *rand_seed(unsigned long seed) {
    Rhand *r = new (std::nothrow) Rhand;
    if (!r) return nullptr;
    r->mag01[0] = 0;
    r->mag01[1] = 0x9908b0dfu;
    r->mt[0] = static_cast<uint32_t>(seed);
    for (int i = 1; i < N; i++) r->mt[i] = 69069u * r->mt[i - 1];
    r->mti = N;
    return r;
}

unsigned long rand_next(Rhand *r) {
    return next32(r);
}

void rand_free(Rhand *r) {
    delete r;
}

int xlate_in(Rhand *r, char *in, int len) {
    auto *p = reinterpret_cast<unsigned char *>(in);
    for (int i = 0; i < len; i++) p[i] = static_cast<unsigned char>(p[i] + next32(r) % 255u);
    return 1;
}

int xlate_out(Rhand *r, char *in, int len) {
    auto *p = reinterpret_cast<unsigned char *>(in);
    for (int i = 0; i < len; i++) p[i] = static_cast<unsigned char>(p[i] - next32(r) % 255u);
    return 1;
}

int xlate_hash(const char *s) {
    uint32_t t = 0;
    for (; *s; s++)
        t = t * 16u + static_cast<uint32_t>(static_cast<int>(static_cast<signed char>(*s)));
    return static_cast<int>(t);
}

char *xlate_ncpy(char *dst, const char *src, int len) {
    return ncpy(dst, src, len);
}

char *xlate_secret(const char *xfname, int makeit) {
    char name[1000];
    xlate_ncpy(name, xfname, 999);
    if (!name[0]) xlate_ncpy(name, "/etc/xlate.dat", 200);
    bool tried = false;
    bool created = false;
    for (;;) {
        FILE *f = fopen(name, "r");
        if (f) {
            if (!fgets(secret, 400, f)) secret[0] = 0;
            fclose(f);
            secret[strcspn(secret, "\r")] = 0;
            secret[strcspn(secret, "\n")] = 0;
            // A file we just wrote that still reads empty (a device, say)
            // would be rewritten for ever: take what it gives.
            if (!makeit || secret[0] || created) return secret;
        } else {
            if (tried) return empty_secret;
            tried = true;
            if (!makeit) return empty_secret;
        }
        if (!make_secret_file(name)) return empty_secret;
        created = true;
    }
}

int xlate_check_value(const char *s) {
    return xlate_hash(s) % 20;
}

uint32_t xlate_seed(const char *s, int t) {
    return static_cast<uint32_t>(xlate_hash(s)) + static_cast<uint32_t>(t);
}
