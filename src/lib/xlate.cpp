#include "lib/xlate.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/lib.h"

namespace {
constexpr int N = 624;
constexpr int M = 397;
constexpr uint32_t UPPER = 0x80000000u;
constexpr uint32_t LOWER = 0x7fffffffu;

char secret[1000];
char empty_secret[1] = {0};
char secret_error[1100];

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

// Records why no secret could be had; returns the empty secret.
char *fail(const char *name, const char *why) {
    snprintf(secret_error, sizeof secret_error, "(%s) %s", name, why);
    return empty_secret;
}

// Writes a new secret file with three random numbers; 0 when it can't be
// written. The numbers go to a file that is 0600 from its creation (O_EXCL:
// never an existing file or a planted link) and is renamed over the name
// only once complete, so no other user ever reads the secret and a file
// that someone else holds open keeps its old content.
int make_secret_file(const char *name) {
    char tmp[1010];
    snprintf(tmp, sizeof tmp, "%s.new", name);
    unlink(tmp);  // a leftover of an interrupted write
    int err = 0;
    {
        UniqueFd fd(open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!fd) {
            err = errno;
        } else {
            // The secret is the site's credential: 192 bits from the kernel,
            // written as the three numbers of the file's traditional form.
            uint64_t r[3];
            char line[80];
            int n = 0;
            if (lib_random(r, sizeof r))
                n = snprintf(line, sizeof line, "%" PRIx64 "%" PRIu64 "%" PRIx64 "\n", r[0], r[1],
                             r[2]);
            errno = 0;
            if (n == 0 || fchmod(fd.get(), 0600) != 0 ||
                write(fd.get(), line, static_cast<size_t>(n)) != n || fsync(fd.get()) != 0)
                err = errno ? errno : EIO;
        }
    }
    if (!err && rename(tmp, name) != 0) err = errno;
    if (err) {
        unlink(tmp);
        printf("Could not write to (%s) %s\n", name, strerror(err));
        fail(name, strerror(err));
        return 0;
    }
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
    secret_error[0] = 0;
    bool tried = false;
    bool created = false;
    for (;;) {
        FILE *f = fopen(name, "r");
        struct stat st {};
        if (f) {
            int err = 0;
            if (fstat(fileno(f), &st) != 0)
                err = errno;
            else if (S_ISDIR(st.st_mode))
                err = EISDIR;
            else {
                errno = 0;
                if (!fgets(secret, 400, f)) {
                    secret[0] = 0;
                    if (ferror(f)) err = errno ? errno : EIO;
                }
            }
            fclose(f);
            if (err) return fail(name, strerror(err));
            secret[strcspn(secret, "\r")] = 0;
            secret[strcspn(secret, "\n")] = 0;
            if (secret[0]) return secret;
            if (!makeit) return fail(name, "the first line is empty");
            // A file we just wrote that still reads empty would be rewritten
            // for ever; a device or pipe is the administrator's, not ours.
            if (created) return fail(name, "the first line is still empty after writing it");
            if (!S_ISREG(st.st_mode)) return fail(name, "not a regular file");
        } else {
            // Only a missing file is created: one that exists but can't be
            // read is left alone and reported.
            int err = errno;
            if (tried || !makeit || err != ENOENT) return fail(name, strerror(err));
            tried = true;
        }
        if (!make_secret_file(name)) return empty_secret;
        created = true;
    }
}

const char *xlate_secret_error() {
    return secret_error;
}

int xlate_check_value(const char *s) {
    return xlate_hash(s) % 20;
}

uint32_t xlate_seed(const char *s, int t) {
    return static_cast<uint32_t>(xlate_hash(s)) + static_cast<uint32_t>(t);
}
