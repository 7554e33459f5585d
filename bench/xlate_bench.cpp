// Keystream transform throughput: bytes per second through xlate_out/xlate_in.
#include <benchmark/benchmark.h>

#include <string>

#include "lib/xlate.h"

static void BM_XlateOut(benchmark::State &state) {
    std::string buf(static_cast<size_t>(state.range(0)), 'x');
    RhandPtr r(rand_seed(4357));
    for (auto _ : state) {
        xlate_out(r.get(), buf.data(), static_cast<int>(buf.size()));
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_XlateOut)->Arg(64)->Arg(4096)->Arg(65536);

static void BM_XlateIn(benchmark::State &state) {
    std::string buf(static_cast<size_t>(state.range(0)), 'x');
    RhandPtr r(rand_seed(4357));
    for (auto _ : state) {
        xlate_in(r.get(), buf.data(), static_cast<int>(buf.size()));
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_XlateIn)->Arg(4096);

static void BM_Seed(benchmark::State &state) {
    for (auto _ : state) {
        RhandPtr r(rand_seed(12345));
        benchmark::DoNotOptimize(rand_next(r.get()));
    }
}
BENCHMARK(BM_Seed);

BENCHMARK_MAIN();
