// Request throughput of a real zorvexsvr in pool mode with kvauth at 1, 3 and
// 10 processes, against engine mode, on the same work: 8 enciphered
// connections, each sending 10 password checks in one write per round and
// waiting for all replies; 2000 users with {ssha} passwords. Argument 0 is
// engine mode. Every reply is checked.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/ld_sha.h"
#include "support/server_fixture.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kUsers = 2000;
constexpr int kConns = 8;
constexpr int kPerConn = 10;

std::string user_name(int i) {
    return "user" + std::to_string(i);
}
std::string password(int i) {
    return "pw" + std::to_string(i);
}

void generate(const std::string &path) {
    FILE *f = fopen(path.c_str(), "w");
    if (!f) return;
    char dig[64];
    for (int i = 0; i < kUsers; i++) {
        create_ssha_base64_digest(password(i).c_str(), dig, sizeof dig);
        fprintf(f, "%s:{ssha}%s:q=%d\n", user_name(i).c_str(), dig, i);
    }
    fclose(f);
}

// One round: every connection sends its checks at once; returns the number of
// right finishing replies (all of them unless something is wrong).
int round_trip(TestServer *s, std::vector<ZvClient> &conns, int *next_user) {
    (void)s;
    int want = 0;
    std::vector<std::vector<std::string>> expect(conns.size());
    for (size_t c = 0; c < conns.size(); c++) {
        std::string batch;
        for (int k = 0; k < kPerConn; k++) {
            int u = (*next_user)++ % kUsers;
            batch += std::to_string(k) + " check " + user_name(u) + " " + password(u) + "\n";
            expect[c].push_back("+OK " + user_name(u) + " config 0 q=" + std::to_string(u));
        }
        if (!cli_send_raw(&conns[c], batch)) return -1;
        want += kPerConn;
    }
    return collect_replies(conns, expect, want, 30);
}

void BM_Checks(benchmark::State &state) {
    int procs = static_cast<int>(state.range(0));
    TestServer s;
    generate(s.db_dir() + "/kvauth.txt");
    if (procs > 0) {
        // kvauth gets no arguments from the pool: a wrapper names its directory.
        std::string wrap = s.file("kvauth.sh");
        write_file(wrap,
                   "#!/bin/sh\nexec " + program_path("kvauth") + " -path " + s.db_dir() + "\n");
        chmod(wrap.c_str(), 0700);
        s.extra_conf = {"authent_process " + wrap, "authent_number " + std::to_string(procs)};
    }
    if (!s.start()) {
        state.SkipWithError("server did not start");
        return;
    }
    std::vector<ZvClient> conns(kConns);
    for (auto &c : conns)
        if (!s.connect(&c)) {
            state.SkipWithError("connect failed");
            return;
        }
    int next_user = 0;
    round_trip(&s, conns, &next_user);  // every process loads its index
    int64_t done = 0;
    for (auto _ : state) {
        int right = round_trip(&s, conns, &next_user);
        if (right != kConns * kPerConn) {
            state.SkipWithError("wrong or missing replies");
            break;
        }
        done += right;
    }
    state.SetItemsProcessed(done);
    state.SetLabel(procs ? "pool, kvauth x" + std::to_string(procs) : "engine");
    s.stop();
}
}  // namespace

BENCHMARK(BM_Checks)->Arg(0)->Arg(1)->Arg(3)->Arg(10)->Iterations(20)->UseRealTime()->Unit(
    benchmark::kMillisecond);

BENCHMARK_MAIN();
