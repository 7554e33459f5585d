#include "engine/passhash.h"

#include <crypt.h>
#include <openssl/crypto.h>

#include <cstring>
#include <memory>
#include <string_view>

#include "engine/ld_sha.h"
#include "lib/lib.h"

namespace {
constexpr int kDigestBuf = 990;
constexpr int kSshaPrefix = 6;  // "{ssha}", not examined: the digest text follows it

bool same_bytes(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}
}  // namespace

bool pass_hash_configure(std::string *) {
    return true;
}

PassCheck pass_hash_verify(const char *stored, const char *pass) {
    PassCheck r{false, ""};
    // crypt(3) answers a salt it cannot use with null or a failure text, never
    // with the stored field, so every form can be tried in the same order.
    auto data = std::make_unique<crypt_data>();
    const char *c = crypt_r(pass, stored, data.get());
    ncpy(r.crypted, c ? c : "", sizeof r.crypted - 1);
    if (same_bytes(r.crypted, stored)) {
        r.match = true;
        return r;
    }
    if (strlen(stored) > kSshaPrefix) {
        char digest[kDigestBuf];
        r.match = raw_create_ssha(pass, digest, kDigestBuf, stored + kSshaPrefix) &&
                  same_bytes(digest, stored + kSshaPrefix);
    }
    return r;
}

bool pass_hash_make(const char *pass, std::string *field, std::string *why) {
    char digest[kDigestBuf];
    if (!create_ssha_base64_digest(pass, digest, kDigestBuf)) {
        *why = get_sha_error();
        return false;
    }
    *field = std::string("{ssha}") + digest;
    return true;
}

bool pass_hash_costly(const char *stored) {
    // Every crypt(3) scheme but the old DES one repeats its hash on purpose.
    return stored[0] == '$';
}

bool pass_make_costly() {
    return false;
}

bool pass_hash_outdated(const char *stored) {
    return strncmp(stored, "{ssha}", kSshaPrefix) != 0;
}
