// Salted SHA-1 password digests: the 32-character Base64 text of SHA-1(password
// + 4-byte salt) followed by the salt, and its error record. Used by the engine's
// password encoder (set) and verifier (check).
// Keeps only the last error of each thread; any thread may call it.
#pragma once

#include <cstddef>
#include <memory>

// Writes the digest text of passwd with a fresh salt into ret (ret_sz bytes). 1 or 0.
int create_ssha_base64_digest(const char *passwd, char *ret, int ret_sz);
// As above; with old_digest (a stored text without its "{ssha}" prefix) the salt
// comes from it, so the result equals old_digest exactly when passwd made it.
// On failure ret holds the clear password: test the result before using ret.
int raw_create_ssha(const char *passwd, char *ret, int ret_sz, const char *old_digest);

struct SaltFree {
    void operator()(unsigned char *p) const;
};
using SaltPtr = std::unique_ptr<unsigned char[], SaltFree>;
// len random bytes and a zero byte behind them, or null when allocation fails.
SaltPtr make_salt(int len);

// "details:(...) error:(...)" of the last digest call; "" before the first.
const char *get_sha_error();
void set_sha_error(const char *error, const char *details);
// Bounded copy: at most len characters and a terminator; null src gives "".
char *sha_ncpy(char *dst, const char *src, int len);

// Base64 (standard alphabet, "=" padding). Encode: characters written (a
// terminator follows) or -1. Decode: bytes written or -1.
int lutil_b64_ntop(const unsigned char *src, size_t srclength, char *target, size_t targsize);
int lutil_b64_pton(const char *src, unsigned char *target, size_t targsize);

// Clears the error record and its flag; for tests.
void sha_reset_for_test();
