// Fuzz target: the salted-SHA digest recomputed from arbitrary stored texts,
// its verification through the engine's password rules, and Base64.
//
// Input: the stored text up to the first NUL byte, then the password.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/kvrules.h"
#include "engine/ld_sha.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string all(reinterpret_cast<const char *>(data), size);
    size_t nul = all.find('\0');
    std::string stored = all.substr(0, nul);
    std::string pass = nul == std::string::npos ? std::string() : all.substr(nul + 1);
    pass = pass.substr(0, pass.find('\0'));

    char ret[200];
    int sizes[] = {1, 8, 33, static_cast<int>(sizeof ret)};
    for (int sz : sizes) {
        memset(ret, 'x', sizeof ret);
        raw_create_ssha(pass.c_str(), ret, sz, stored.c_str());
        if (!memchr(ret, 0, static_cast<size_t>(sz))) abort();
    }
    pass_verify("u", "u", ("{ssha}" + stored).c_str(), "", pass.c_str());
    pass_verify("u", "u", ("{ssha}" + stored).c_str(), "(BLOCK)", pass.c_str());

    // A digest made from the stored text's salt verifies the same password.
    if (raw_create_ssha(pass.c_str(), ret, sizeof ret, stored.c_str()) && strlen(ret) > 0) {
        std::string made = std::string("{ssha}") + ret;
        if (!pass_verify("u", "u", made.c_str(), "", pass.c_str())) abort();
    }

    // Base64 both ways: decoding what was encoded gives the bytes back.
    char enc[2 * 1024 + 8];
    size_t n = size > 1024 ? 1024 : size;
    int e = lutil_b64_ntop(data, n, enc, sizeof enc);
    if (e < 0) abort();
    unsigned char dec[1024 + 4];
    int d = lutil_b64_pton(enc, dec, sizeof dec);
    if (d != static_cast<int>(n) || memcmp(dec, data, n) != 0) abort();
    lutil_b64_pton(stored.c_str(), dec, sizeof dec);
    lutil_b64_pton(stored.c_str(), dec, 3);
    return 0;
}
