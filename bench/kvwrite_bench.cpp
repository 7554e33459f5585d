// The engine's write side: testcrypt on an empty engine directory, a rebuild
// of a 1,000,000-user database (fsync included), and additions against it as
// a sustained rate with their rebuilds. The database comes from gen_users.py
// beside this file (or from $ZORVEX_BENCH_DB_1000000, a file made by it).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/emsg.h"
#include "core/ini.h"
#include "engine/kvcmd.h"
#include "engine/kvprint.h"
#include "engine/kvfilename.h"
#include "engine/kvset.h"
#include "engine/kvrebuild.h"
#include "engine/kvindex.h"
#include "engine/userstore.h"
#include "support/server_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

void discard(char *) {}

// Points the engine and the log at dir, with a fresh index.
void use_dir(const TempDir &dir) {
    imsg_close();
    write_file(dir.file("zorvexsvr.conf"), "logdir " + dir.path() + "\n");
    ini_file_set(dir.file("zorvexsvr.conf").c_str());
    ini_load();
    imsg_open();
    store().close();
    kvfilename_reset_for_test();
    kvauth_set_path(dir.path().c_str());
    kvauth_setprint(discard);
}

// An engine directory holding the 1,000,000-user database, made once.
const TempDir &million() {
    static std::unique_ptr<TempDir> dir;
    if (!dir) {
        dir = std::make_unique<TempDir>();
        std::string target = dir->file("kvauth.txt");
        const char *given = getenv("ZORVEX_BENCH_DB_1000000");
        std::string f = __FILE__;
        std::string script = f.substr(0, f.rfind('/') + 1) + "gen_users.py";
        std::string cmd = given ? "cp '" + std::string(given) + "' '" + target + "'"
                                : "python3 '" + script + "' 1000000 '" + target + "'";
        if (system(cmd.c_str()) != 0) {
            fprintf(stderr, "could not make the database: %s\n", cmd.c_str());
            exit(1);
        }
    }
    return *dir;
}

void BM_TestcryptEmptyDir(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto dir = std::make_unique<TempDir>();
        use_dir(*dir);
        char cmd[] = "testcrypt";
        state.ResumeTiming();
        do_command(cmd);
        state.PauseTiming();
        dir.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_TestcryptEmptyDir)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_Rebuild1M(benchmark::State &state) {
    use_dir(million());
    build_index("bench");
    auth_rebuild();  // the first one also writes the backup
    for (auto _ : state) auth_rebuild();
    state.counters["users"] = auth_user_count();
}
BENCHMARK(BM_Rebuild1M)->Unit(benchmark::kMillisecond)->Iterations(5);

// 5000 additions of new users; the slow calls are the ones that rebuilt.
void BM_Additions1M(benchmark::State &state) {
    use_dir(million());
    build_index("bench");
    int round = 0;
    for (auto _ : state) {
        std::vector<double> took;
        took.reserve(5000);
        for (int i = 0; i < 5000; i++) {
            char name[64], info[32];
            snprintf(name, sizeof name, "new%d_%06d", round, i);
            snprintf(info, sizeof info, "quota=%06d", i);
            auto t0 = Clock::now();
            auth_set(name, name, info);
            took.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        }
        round++;
        std::vector<double> sorted = took;
        std::sort(sorted.begin(), sorted.end());
        double median = sorted[sorted.size() / 2], total = 0, in_rebuilds = 0;
        int rebuilds = 0;
        for (double t : took) {
            total += t;
            if (t > 20 * median) {
                in_rebuilds += t;
                rebuilds++;
            }
        }
        state.counters["rebuilds"] = rebuilds;
        state.counters["rebuild_share"] = in_rebuilds / total;
        state.counters["addition_us"] = (total - in_rebuilds) / (5000 - rebuilds) * 1e6;
    }
    state.SetItemsProcessed(state.iterations() * 5000);
}
BENCHMARK(BM_Additions1M)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
