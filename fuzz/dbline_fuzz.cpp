// Fuzz target: the database line parser, the index build from kvauth.txt and
// the replay of kvauth.add over it, with arbitrary file contents.
//
// Input: the text up to the first NUL byte is kvauth.txt, the rest kvauth.add.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/kvline.h"
#include "fuzz_env.h"

namespace {

int count_record(const USER *u, void *arg) {
    // Every record the walk shows is live, named and findable by its name.
    if (!u->user[0] || !u->pass || !u->info || !auth_find(u->user)) abort();
    ++*static_cast<int *>(arg);
    return 1;
}

// Parses each line as the loaders read it. Every record read must be one a
// writer may store, and must read back whole from the line written for it.
void parse_lines(std::string_view text, std::vector<std::string> *names) {
    size_t at = 0;
    while (at < text.size()) {
        size_t n = text.find('\n', at);
        n = (n == std::string_view::npos ? text.size() : n + 1) - at;
        std::string line(text.substr(at, n));
        at += n;
        KvLine dl;
        const char *fault;
        if (!kvline_parse(line.data(), line.size(), &dl, &fault)) continue;
        const char *end = line.data() + line.size();
        if (dl.user_len < 1 || dl.pass_len < 1 || dl.user + dl.user_len > end ||
            dl.pass + dl.pass_len > end || dl.info + dl.info_len > end)
            abort();
        std::string u(dl.user, dl.user_len), p(dl.pass, dl.pass_len), i(dl.info, dl.info_len);
        if (kvline_check(u.c_str(), p.c_str(), i.c_str()) != KVLINE_OK) abort();
        std::string again = kvline_format(u.c_str(), p.c_str(), i.c_str());
        KvLine back;
        if (!kvline_parse(again.data(), again.size(), &back, &fault) ||
            std::string(back.user, back.user_len) != u ||
            std::string(back.pass, back.pass_len) != p ||
            std::string(back.info, back.info_len) != i)
            abort();
        names->push_back(u);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::load_config();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view all(reinterpret_cast<const char *>(data), size);
    size_t nul = all.find('\0');
    std::string_view txt = all.substr(0, nul);
    std::string_view add = nul == std::string_view::npos ? std::string_view() : all.substr(nul + 1);

    std::vector<std::string> names;
    parse_lines(txt, &names);
    parse_lines(add, &names);

    fuzz::reset_engine(txt, add);
    if (!build_index("fuzz")) abort();
    check_add();
    int live = 0;
    auth_walk(count_record, &live);
    // Each line read makes at most one live record.
    if (live > static_cast<int>(names.size())) abort();
    for (const std::string &n : names) {
        const USER *u = auth_find(n.c_str());
        if (u && (!u->pass || !u->info)) abort();
        db_pass(n.c_str());
    }
    if (auth_lock_depth() != 0) abort();
    return 0;
}
