// Fuzz target: the configuration file parser over arbitrary file contents.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/emsg.h"
#include "core/ini.h"
#include "fuzz_env.h"

// The parser's complaints go through the log, bound as the server's main does.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_bind();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string conf = fuzz::path("fuzz.conf");
    fuzz::put_file(conf, std::string_view(reinterpret_cast<const char *>(data), size));
    ini_file_set(conf.c_str());
    ini_load();
    for (int k = -1; k <= INI_NKEYS; k++) {
        const char *v = ini_get(k);
        if (!v) abort();
        // A value never holds a line end or a tab: they end it.
        if (strpbrk(v, "\t\r\n")) abort();
        if (ini_true(k) != (k >= 0 && k < INI_NKEYS && strcmp(v, "true") == 0)) abort();
    }
    ini_free();
    return 0;
}
