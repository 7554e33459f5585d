// Password checks per second through a real zorvexsvr in pool mode with 3 and
// 10 pgauth processes against 1,000,000 users in PostgreSQL, next to engine
// mode with the same users in kvauth.txt. 8 enciphered connections, each
// sending 10 checks in one write per round and waiting for every reply; the
// users are checked in a stride across the whole table. Argument 0 is engine
// mode. Every reply is checked. Needs the PostgreSQL server binaries.
// BM_PoolSideBySide: the pool with 4 kvauth or 4 pgauth processes on the same
// 100,000 users, 64 connections with one check in flight each; for pgauth
// also the statements that reached PostgreSQL per 100 checks, warm cache.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/ld_sha.h"
#include "pg_cluster.h"
#include "support/server_fixture.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr int kUsers = 1000000;
constexpr int kConns = 8;
constexpr int kPerConn = 10;
constexpr int kStride = 7919;  // a prime: successive checks land far apart

// One digest for everybody: verifying costs the same, generating 10^6 does not.
std::string digest() {
    static std::string d = [] {
        char dig[64];
        create_ssha_base64_digest("pw", dig, sizeof dig);
        return std::string("{ssha}") + dig;
    }();
    return d;
}

PgCluster *cluster() {
    static std::unique_ptr<PgCluster> pg;
    if (pg) return pg.get();
    pg = std::make_unique<PgCluster>();
    if (!pg->start()) return nullptr;
    TempDir d;
    write_file(d.file("c"), pg->conf_lines());
    run_program({program_path("pgauth"), "-conf", d.file("c"), "-export"});  // makes the tables
    std::string err = pg->sql(
        "INSERT INTO pgauth_users SELECT convert_to('user' || i, 'UTF8'), convert_to('" + digest() +
        "', 'UTF8'), convert_to('q=' || i, 'UTF8'), convert_to('q=' || i, 'UTF8') "
        "FROM generate_series(0, " +
        std::to_string(kUsers - 1) + ") i ON CONFLICT DO NOTHING");
    if (!err.empty() || !pg->sql("VACUUM ANALYZE pgauth_users").empty()) return nullptr;
    return pg.get();
}

int round_trip(std::vector<ZvClient> &conns, int *next_user, int per_conn = kPerConn,
               int users = kUsers) {
    int want = 0;
    std::vector<std::vector<std::string>> expect(conns.size());
    for (size_t c = 0; c < conns.size(); c++) {
        std::string batch;
        for (int k = 0; k < per_conn; k++) {
            int u = *next_user;
            *next_user = (*next_user + kStride) % users;
            batch += std::to_string(k) + " check user" + std::to_string(u) + " pw\n";
            expect[c].push_back("+OK user" + std::to_string(u) +
                                " config 0 q=" + std::to_string(u));
        }
        if (!cli_send_raw(&conns[c], batch)) return -1;
        want += per_conn;
    }
    return collect_replies(conns, expect, want, 60);
}

void BM_Checks(benchmark::State &state) {
    int procs = static_cast<int>(state.range(0));
    std::string why = PgCluster::unavailable();
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    TestServer s;
    if (procs == 0) {
        FILE *f = fopen((s.db_dir() + "/kvauth.txt").c_str(), "w");
        if (!f) return state.SkipWithError("cannot write kvauth.txt");
        for (int i = 0; i < kUsers; i++) fprintf(f, "user%d:%s:q=%d\n", i, digest().c_str(), i);
        fclose(f);
    } else {
        PgCluster *pg = cluster();
        if (!pg) return state.SkipWithError("cluster did not start or load");
        std::string wrap = s.file("pgauth.sh");
        write_file(wrap,
                   "#!/bin/sh\nexec " + program_path("pgauth") + " -conf " + s.conf_path() + "\n");
        chmod(wrap.c_str(), 0700);
        s.extra_conf = {"authent_process " + wrap, "authent_number " + std::to_string(procs)};
        std::string lines = pg->conf_lines();
        for (size_t at = 0, nl; (nl = lines.find('\n', at)) != std::string::npos; at = nl + 1)
            s.extra_conf.push_back(lines.substr(at, nl - at));
    }
    if (!s.start()) return state.SkipWithError("server did not start");
    std::vector<ZvClient> conns(kConns);
    for (auto &c : conns)
        if (!s.connect(&c)) return state.SkipWithError("connect failed");
    int next_user = 0;
    round_trip(conns, &next_user);  // connections made, index loaded
    int64_t done = 0;
    for (auto _ : state) {
        int right = round_trip(conns, &next_user);
        if (right != kConns * kPerConn) {
            state.SkipWithError("wrong or missing replies");
            break;
        }
        done += right;
    }
    state.SetItemsProcessed(done);
    state.SetLabel(procs ? "pool, pgauth x" + std::to_string(procs) : "engine");
    s.stop();
}
}  // namespace

constexpr int kSideUsers = 100000;
constexpr int kSideConns = 64;

// The statements PostgreSQL has finished for every backend, once each has
// reported them.
long long statements_done(PgCluster *pg) {
    usleep(1500000);  // backends report their counts within a second when idle
    std::string n;
    pg->sql("SELECT sum(xact_commit + xact_rollback) FROM pg_stat_database", &n);
    return atoll(n.c_str());
}

void BM_PoolSideBySide(benchmark::State &state) {
    bool pg_store = state.range(0) == 1;
    TestServer s;
    PgCluster *pg = nullptr;
    std::string prog;
    if (pg_store) {
        if (std::string why = PgCluster::unavailable(); !why.empty())
            return state.SkipWithError(why.c_str());
        pg = cluster();
        if (!pg) return state.SkipWithError("cluster did not start or load");
        prog = program_path("pgauth") + " -conf " + s.conf_path();
        std::string lines = pg->conf_lines();
        for (size_t at = 0, nl; (nl = lines.find('\n', at)) != std::string::npos; at = nl + 1)
            s.extra_conf.push_back(lines.substr(at, nl - at));
    } else {
        FILE *f = fopen((s.db_dir() + "/kvauth.txt").c_str(), "w");
        if (!f) return state.SkipWithError("cannot write kvauth.txt");
        for (int i = 0; i < kSideUsers; i++) fprintf(f, "user%d:%s:q=%d\n", i, digest().c_str(), i);
        fclose(f);
        prog = program_path("kvauth") + " -path " + s.db_dir();
    }
    std::string wrap = s.file("auth.sh");
    write_file(wrap, "#!/bin/sh\nexec " + prog + "\n");
    chmod(wrap.c_str(), 0700);
    s.extra_conf.push_back("authent_process " + wrap);
    s.extra_conf.push_back("authent_number 4");
    if (!s.start()) return state.SkipWithError("server did not start");
    std::vector<ZvClient> conns(kSideConns);
    for (auto &c : conns)
        if (!s.connect(&c)) return state.SkipWithError("connect failed");
    int next_user = 0;
    // Every user 24 times: each of the 4 processes has then answered for
    // almost every user (all but (3/4)^24, 0.1%), as on a site some hours
    // after its start.
    for (int i = 0; i < 24 * (kSideUsers / kSideConns + 1); i++)
        round_trip(conns, &next_user, 1, kSideUsers);
    long long before = pg ? statements_done(pg) : 0;
    int64_t done = 0;
    for (auto _ : state) {
        int right = round_trip(conns, &next_user, 1, kSideUsers);
        if (right != kSideConns) {
            state.SkipWithError("wrong or missing replies");
            break;
        }
        done += right;
    }
    state.SetItemsProcessed(done);
    if (pg && done > 0)
        state.counters["statements_per_100"] =
            100.0 * static_cast<double>(statements_done(pg) - before) / static_cast<double>(done);
    state.SetLabel(pg_store ? "pool, pgauth x4" : "pool, kvauth x4");
    s.stop();
}

BENCHMARK(BM_PoolSideBySide)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_Checks)->Arg(0)->Arg(3)->Arg(10)->Iterations(50)->UseRealTime()->Unit(
    benchmark::kMillisecond);

BENCHMARK_MAIN();
