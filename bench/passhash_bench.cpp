// Hashing cost per password scheme: one verify of a field made under each
// setting of password_scheme, at the scheme's default cost and at the most
// the server accepts. The figures behind the bounds and the costly flag
// (doc/passwords.md, doc/performance.md). Run: build/bench/passhash_bench
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "engine/passhash.h"

namespace {
const char *const kSettings[] = {
    "ssha",
    "sha512-crypt",
    "sha512-crypt rounds=1000000",
    "bcrypt cost=10",
    "bcrypt",
    "bcrypt cost=12",
    "bcrypt cost=13",
    "yescrypt",
    "yescrypt cost=7",
    "argon2id",
    "argon2id t=3 m=65536 p=1",
    "argon2id t=4 m=65536 p=1",
    "argon2id t=16 m=16384 p=1",
};

void BM_Verify(benchmark::State &state) {
    const char *setting = kSettings[state.range(0)];
    std::string field, why;
    if (!pass_hash_configure_from(setting, &why) || !pass_hash_make("Tr0ub4dor&3", &field, &why)) {
        state.SkipWithError(why.c_str());
        return;
    }
    state.SetLabel(setting);
    for (auto _ : state) benchmark::DoNotOptimize(pass_hash_verify(field.c_str(), "Tr0ub4dor&3"));
}

// Fields that no setting makes, from tests/data/hashes: where the line
// between cheap and costly lies.
const char *const kFields[][2] = {
    {"pw8chars", "NrMcVmjizv3/c"},
    {"h\u00e9llo-w\u00f6rld", "$1$pidpNGzT$fm3KOD5n6KQsLXpBX9SsB0"},
    {"Tr0ub4dor&3",
     "{SSHA512}hiaefM9qri+GrqkAXgwHkfwZ1lGexyYyBoJMcTTcJ9RUo7w3UU6NSym3jN//3sZ+P5yFrPAi4U53w7AcQ/"
     "9mowABAgMEBQYHCAkKCwwNDg8="},
};

void BM_VerifyField(benchmark::State &state) {
    const char *const *f = kFields[state.range(0)];
    state.SetLabel(f[1]);
    for (auto _ : state) benchmark::DoNotOptimize(pass_hash_verify(f[1], f[0]));
}
}  // namespace

BENCHMARK(BM_Verify)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Verify)->DenseRange(3, 12)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_VerifyField)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
