// Fuzz target: the wildcard and substring matchers with arbitrary patterns
// and names.
//
// Input: the pattern up to the first NUL byte, then the name.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/kvsearch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string all(reinterpret_cast<const char *>(data), size);
    size_t nul = all.find('\0');
    std::string wild = all.substr(0, nul);
    std::string text = nul == std::string::npos ? std::string() : all.substr(nul + 1);
    text = text.substr(0, text.find('\0'));

    int m = wmatch(text.c_str(), wild.c_str());
    if (m != WM_TRUE && m != WM_FALSE && m != WM_ABORT) abort();
    int w = wild_match(wild.c_str(), text.c_str());
    if (w != (wild == "*" || m == WM_TRUE ? 1 : 0)) abort();

    // The name with every special byte escaped matches itself, and a star
    // on either side changes nothing.
    std::string quoted;
    for (char c : text) {
        if (strchr("*?[\\", c)) quoted += '\\';
        quoted += c;
    }
    if (wmatch(text.c_str(), quoted.c_str()) != WM_TRUE) abort();
    if (wmatch(text.c_str(), ("*" + quoted + "*").c_str()) != WM_TRUE) abort();

    // Substring search: whatever it finds is a case-blind match there.
    if (const char *p = zstrstrnc(text.c_str(), wild.c_str())) {
        if (p < text.c_str() || p > text.c_str() + text.size()) abort();
        if (!wild.empty() && zstrncmpnc(p, wild.c_str(), static_cast<int>(wild.size())) != 0)
            abort();
    }
    zstrncmpnc(text.c_str(), wild.c_str(), static_cast<int>(size % 64));
    return 0;
}
