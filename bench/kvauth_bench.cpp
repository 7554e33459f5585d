// The engine's read side at 10 thousand to 1 million users: building the
// index (and its memory per user), checks of {ssha} users with their log line
// written, lookups, the look for other processes' changes and wildcard
// searches. The database comes from
// gen_users.py beside this file (or from $ZORVEX_BENCH_DB_<N>, a file made by it).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "core/emsg.h"
#include "core/ini.h"
#include "engine/kvprint.h"
#include "engine/kvrefresh.h"
#include "engine/kvfilename.h"
#include "engine/kvcmd.h"
#include "engine/kvindex.h"
#include "engine/userstore.h"
#include "engine/kvsearch.h"
#include "engine/kvindex.h"
#include "support/server_fixture.h"

namespace {

void discard(char *) {}

// One engine directory per database size, made once per run.
struct Db {
    std::unique_ptr<TempDir> dir;
    int users = 0;
};

std::string script_path() {
    std::string f = __FILE__;
    return f.substr(0, f.rfind('/') + 1) + "gen_users.py";
}

void use_db(int n) {
    static std::map<int, Db> dbs;
    static int current = -1;
    Db &d = dbs[n];
    if (!d.dir) {
        d.dir = std::make_unique<TempDir>();
        std::string target = d.dir->file("kvauth.txt");
        std::string env = "ZORVEX_BENCH_DB_" + std::to_string(n);
        const char *given = getenv(env.c_str());
        std::string cmd =
            given ? "cp '" + std::string(given) + "' '" + target + "'"
                  : "python3 '" + script_path() + "' " + std::to_string(n) + " '" + target + "'";
        if (system(cmd.c_str()) != 0) {
            fprintf(stderr, "could not make the database: %s\n", cmd.c_str());
            exit(1);
        }
        d.users = n;
        write_file(d.dir->file("zorvexsvr.conf"), "logdir " + d.dir->path() + "\n");
    }
    if (current == n) return;
    current = n;
    imsg_close();
    ini_file_set(d.dir->file("zorvexsvr.conf").c_str());
    ini_load();
    imsg_open();
    store().close();
    kvfilename_reset_for_test();
    kvauth_set_path(d.dir->path().c_str());
    kvauth_setprint(discard);
    build_index("bench");
}

long rss_kb() {
    std::string st = read_file("/proc/self/status");
    size_t p = st.find("VmRSS:");
    return p == std::string::npos ? -1 : atol(st.c_str() + p + 6);
}

void BM_BuildIndex(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    use_db(n);
    free_index();
    long before = rss_kb();
    for (auto _ : state) build_index("bench");
    long after = rss_kb();
    state.counters["users"] = auth_user_count();
    state.counters["index_bytes_per_user"] =
        static_cast<double>(auth_index_bytes()) / auth_user_count();
    state.counters["rss_bytes_per_user"] =
        static_cast<double>(after - before) * 1024.0 / auth_user_count();
    state.counters["users_per_s"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BuildIndex)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_CheckSsha(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    use_db(n);
    char user[32], pass[32];
    unsigned k = 12345;
    long ok = 0, calls = 0;
    for (auto _ : state) {
        k = k * 1103515245u + 12345u;
        int u = 1 + static_cast<int>((k >> 8) % static_cast<unsigned>(n));
        snprintf(user, sizeof user, "user%06d", u);
        snprintf(pass, sizeof pass, "pass%06d", u);
        ok += auth_check(user, pass);
        if (++calls % 4096 == 0) imsg_flush();  // the server's idle work keeps the log short
    }
    if (ok != calls) state.SkipWithError("a check failed");
}
BENCHMARK(BM_CheckSsha)->Arg(10000)->Arg(1000000);

void BM_Lookup(benchmark::State &state) {
    int n = static_cast<int>(state.range(0));
    use_db(n);
    char user[32];
    unsigned k = 777;
    long ok = 0, calls = 0;
    for (auto _ : state) {
        k = k * 1103515245u + 12345u;
        snprintf(user, sizeof user, "USER%06d",
                 1 + static_cast<int>((k >> 8) % static_cast<unsigned>(n)));
        ok += auth_lookup(user);
        if (++calls % 4096 == 0) imsg_flush();
    }
    if (ok != calls) state.SkipWithError("a lookup failed");
}
BENCHMARK(BM_Lookup)->Arg(10000)->Arg(1000000);

// The look for other processes' changes that precedes every request: when
// neither kvauth.txt nor the add file changed, one read of a directory watch.
void BM_SyncCheck(benchmark::State &state) {
    use_db(static_cast<int>(state.range(0)));
    for (auto _ : state) kvrefresh_before();
}
BENCHMARK(BM_SyncCheck)->Arg(10000);

void BM_SearchWildcard(benchmark::State &state) {
    use_db(static_cast<int>(state.range(0)));
    int found = 0;
    for (auto _ : state) {
        char pat[] = "user0012*5";
        found = auth_search(pat, 0, 0);
    }
    state.counters["found"] = found;
}
BENCHMARK(BM_SearchWildcard)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_SearchSubstring(benchmark::State &state) {
    use_db(static_cast<int>(state.range(0)));
    int found = 0;
    for (auto _ : state) {
        char pat[] = "=00042";
        found = auth_search(pat, 0, 0);
    }
    state.counters["found"] = found;
}
BENCHMARK(BM_SearchSubstring)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
