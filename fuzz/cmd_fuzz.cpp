// Fuzz target: the engine's command interpreter over a small database in a
// scratch directory. Each input line is one command, run to completion as
// the session runs it; the replies are collected and checked for their form.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_env.h"

namespace {

int replies;

// Every reply is one text that starts with one of the reply words.
void check_reply(char *text) {
    static const char *const starts[] = {"+OK", "-ERR", "+DATA", "-DEAD", "+ERR"};
    bool ok = false;
    for (const char *s : starts) ok = ok || strncmp(text, s, strlen(s)) == 0;
    if (!ok) abort();
    replies++;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::load_config();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (fuzz::has_slow_command(data, size)) return 0;
    fuzz::reset_engine(fuzz::seed_database());
    kvauth_setprint(check_reply);
    std::string_view all(reinterpret_cast<const char *>(data), size);
    size_t at = 0;
    while (at < all.size()) {
        size_t nl = all.find('\n', at);
        if (nl == std::string_view::npos) nl = all.size();
        // The session passes on at most 990 characters of a line.
        std::string line(all.substr(at, std::min<size_t>(nl - at, 990)));
        at = nl + 1;
        replies = 0;
        do_command(line.data());
        if (auth_lock_depth() != 0) abort();
    }
    kvauth_setprint(nullptr);
    return 0;
}
