#include "engine/ld_sha.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include "lib/lib.h"

namespace {
constexpr int kSaltLen = 4;
constexpr int kMaxPass = 1023;
constexpr int kRecordCut = 200;

// The error record is kept as its two parts and formatted only when asked for:
// a check makes one per call, and nearly nobody reads it. Each thread has its
// own, since worker threads verify digests too.
thread_local char sha_err[kRecordCut + 1];
thread_local char sha_details[kRecordCut + 1];
thread_local char sha_error[420];
thread_local int sha_error_init;

constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

struct B64Table {
    signed char v[256];
    constexpr B64Table() : v() {
        for (int i = 0; i < 256; i++) v[i] = -1;
        for (int i = 0; i < 64; i++)
            v[static_cast<unsigned char>(kB64[i])] = static_cast<signed char>(i);
    }
};
constexpr B64Table kB64Values;

int b64_value(char c) {
    return kB64Values.v[static_cast<unsigned char>(c)];
}

bool b64_space(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

// The details text under construction; only its first 200 characters are kept.
struct Details {
    char text[kRecordCut + 1];
    int len = 0;
    void add(const char *s, size_t n) {
        size_t room = static_cast<size_t>(kRecordCut - len);
        if (n > room) n = room;
        memcpy(text + len, s, n);
        len += static_cast<int>(n);
        text[len] = 0;
    }
    void add(const char *s) { add(s, strlen(s)); }
};

// SHA-1 through a digest fetched once per thread: fetching per call costs more
// than the hash, and a context cannot be shared between threads.
struct Sha1 {
    EVP_MD *md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    ~Sha1() {
        EVP_MD_CTX_free(ctx);
        EVP_MD_free(md);
    }
    void digest(const unsigned char *msg, size_t len, unsigned char *out) {
        unsigned int outl = 0;
        if (md && ctx && EVP_DigestInit_ex2(ctx, md, nullptr) && EVP_DigestUpdate(ctx, msg, len) &&
            EVP_DigestFinal_ex(ctx, out, &outl))
            return;
        SHA1(msg, len, out);
    }
};

void sha1(const unsigned char *msg, size_t len, unsigned char *out) {
    thread_local Sha1 s;
    s.digest(msg, len, out);
}
}  // namespace

void SaltFree::operator()(unsigned char *p) const {
    delete[] p;
}

char *sha_ncpy(char *dst, const char *src, int len) {
    if (!dst) return dst;
    int i = 0;
    if (src)
        for (; i < len && src[i]; i++) dst[i] = src[i];
    dst[i] = 0;
    return dst;
}

void set_sha_error(const char *error, const char *details) {
    sha_ncpy(sha_err, error, kRecordCut);
    sha_ncpy(sha_details, details, kRecordCut);
}

const char *get_sha_error() {
    if (!sha_error_init) return "";
    snprintf(sha_error, sizeof sha_error, "details:(%s) error:(%s)", sha_details, sha_err);
    return sha_error;
}

void sha_reset_for_test() {
    sha_err[0] = 0;
    sha_details[0] = 0;
    sha_error_init = 0;
}

SaltPtr make_salt(int len) {
    SaltPtr salt(new (std::nothrow) unsigned char[static_cast<size_t>(len) + 1]);
    if (!salt) {
        set_sha_error("Could not create salt- malloc failed", "");
        return salt;
    }
    // Salts from the kernel: a salt derived from the clock is shared by every
    // password set in the same second and can be predicted.
    if (!lib_random(salt.get(), static_cast<size_t>(len))) {
        set_sha_error("Could not create salt- no random source", strerror(errno));
        return nullptr;
    }
    salt[static_cast<size_t>(len)] = 0;
    return salt;
}

int lutil_b64_ntop(const unsigned char *src, size_t srclength, char *target, size_t targsize) {
    size_t out = 0;
    while (srclength > 2) {
        if (out + 4 > targsize) {
            set_sha_error("Datalength too long 1", "");
            return -1;
        }
        target[out++] = kB64[src[0] >> 2];
        target[out++] = kB64[((src[0] & 0x03) << 4) | (src[1] >> 4)];
        target[out++] = kB64[((src[1] & 0x0f) << 2) | (src[2] >> 6)];
        target[out++] = kB64[src[2] & 0x3f];
        src += 3;
        srclength -= 3;
    }
    if (srclength != 0) {
        unsigned char in[3] = {src[0], srclength > 1 ? src[1] : static_cast<unsigned char>(0), 0};
        if (out + 4 > targsize) {
            set_sha_error("Datalength too long 2", "");
            return -1;
        }
        target[out++] = kB64[in[0] >> 2];
        target[out++] = kB64[((in[0] & 0x03) << 4) | (in[1] >> 4)];
        target[out++] = (srclength == 1) ? kPad : kB64[(in[1] & 0x0f) << 2];
        target[out++] = kPad;
    }
    if (out >= targsize) {
        set_sha_error("Datalength too long 3", "");
        return -1;
    }
    target[out] = 0;
    return static_cast<int>(out);
}

int lutil_b64_pton(const char *src, unsigned char *target, size_t targsize) {
    size_t out = 0;
    int state = 0;  // position within the current group of four characters
    char ch = 0;
    while ((ch = *src++) != 0) {
        if (b64_space(ch)) continue;
        if (ch == kPad) break;
        int v = b64_value(ch);
        if (v < 0) return -1;
        unsigned b = static_cast<unsigned>(v);
        switch (state) {
            case 0:
                if (out >= targsize) return -1;
                target[out] = static_cast<unsigned char>(b << 2);
                state = 1;
                break;
            case 1:
                if (out + 1 >= targsize) return -1;
                target[out] = static_cast<unsigned char>(target[out] | (b >> 4));
                target[out + 1] = static_cast<unsigned char>((b & 0x0f) << 4);
                out++;
                state = 2;
                break;
            case 2:
                if (out + 1 >= targsize) return -1;
                target[out] = static_cast<unsigned char>(target[out] | (b >> 2));
                target[out + 1] = static_cast<unsigned char>((b & 0x03) << 6);
                out++;
                state = 3;
                break;
            default:
                if (out >= targsize) return -1;
                target[out] = static_cast<unsigned char>(target[out] | b);
                out++;
                state = 0;
                break;
        }
    }
    if (ch == kPad) {
        // Padding is valid only after two or three characters of a group, with
        // nothing but whitespace (and a second "=" after two) behind it.
        ch = *src++;
        switch (state) {
            case 0:
            case 1:
                return -1;
            case 2:
                while (ch && b64_space(ch)) ch = *src++;
                if (ch != kPad) return -1;
                ch = *src++;
                [[fallthrough]];
            case 3:
                while (ch) {
                    if (!b64_space(ch)) return -1;
                    ch = *src++;
                }
                // The bits of a partial group that the padding ends must be zero.
                if (out < targsize && target[out] != 0) return -1;
                break;
        }
    } else if (state != 0) {
        return -1;
    }
    return static_cast<int>(out);
}

int raw_create_ssha(const char *passwd, char *ret, int ret_sz, const char *old_digest) {
    set_sha_error("No Errors", "No Details");
    sha_error_init = 1;
    unsigned char msg[kMaxPass + kSaltLen];
    char *work = reinterpret_cast<char *>(msg);
    // The password's bytes are hashed with the salt right behind them.
    size_t plen = 0;
    if (passwd)
        while (plen < static_cast<size_t>(kMaxPass) && passwd[plen]) plen++;
    memcpy(work, passwd ? passwd : "", plen);
    if (ret && ret_sz > 0) {
        size_t n = plen < static_cast<size_t>(ret_sz - 1) ? plen : static_cast<size_t>(ret_sz - 1);
        memcpy(ret, work, n);
        ret[n] = 0;
    }
    Details d;
    d.add("SSHA digesting password of (");
    d.add(work, plen);
    d.add("),");

    unsigned char salt[kSaltLen + 1] = {};
    bool have_salt = true;
    if (old_digest) {
        // The stored salt decides; a fresh one would play no part, so none is drawn.
        unsigned char scratch[1023] = {};
        lutil_b64_pton(old_digest, scratch, sizeof scratch);  // a bad text simply cannot verify
        memcpy(salt, scratch + 20, kSaltLen);
    } else if (SaltPtr fresh = make_salt(kSaltLen)) {
        memcpy(salt, fresh.get(), kSaltLen);
    } else {
        have_salt = false;
    }
    d.add("SSHA salt is:");
    if (!have_salt) return 0;
    d.add("(");
    d.add(reinterpret_cast<const char *>(salt));
    d.add(")");

    memcpy(msg + plen, salt, kSaltLen);
    unsigned char value[SHA_DIGEST_LENGTH + kSaltLen];
    sha1(msg, plen + kSaltLen, value);

    d.add("SSHA Digest is:");
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t g = 0; g < 5; g++) {
        char hex[9];
        for (size_t i = 0; i < 4; i++) {
            hex[i * 2] = kHex[value[g * 4 + i] >> 4];
            hex[i * 2 + 1] = kHex[value[g * 4 + i] & 0xf];
        }
        hex[8] = ' ';
        d.add(hex, 9);
    }
    set_sha_error("No Errors", d.text);

    memcpy(value + SHA_DIGEST_LENGTH, salt, kSaltLen);
    constexpr size_t kB64Size = 4 * ((sizeof value + 2) / 3) + 1;
    std::unique_ptr<char[]> b64(new (std::nothrow) char[kB64Size]);
    if (!b64) {
        set_sha_error("SSHA: Could not create base64digest buffer - malloc failed", "");
        return 0;
    }
    if (lutil_b64_ntop(value, sizeof value, b64.get(), kB64Size) < 0) return 0;
    if (ret && ret_sz > 0) sha_ncpy(ret, b64.get(), ret_sz - 1);
    return 1;
}

int create_ssha_base64_digest(const char *passwd, char *ret, int ret_sz) {
    return raw_create_ssha(passwd, ret, ret_sz, nullptr);
}
