#!/bin/sh
# Builds the libFuzzer targets under fuzz/ with clang (address and undefined
# behaviour sanitizers) in build-fuzz/ and runs each one for FUZZ_SECONDS
# (default 60) on a copy of its seed corpus. Fails on any finding; the
# reproducer is left in build-fuzz/findings/<target>/.
#   scripts/fuzz.sh              every target
#   scripts/fuzz.sh conn cmd     only these
set -eu
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-60}"

if ! command -v clang++-14 >/dev/null 2>&1 && ! command -v clang++ >/dev/null 2>&1 ||
   ! dpkg -s libclang-rt-14-dev >/dev/null 2>&1; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends \
        clang-14 libclang-rt-14-dev
fi
if command -v clang++-14 >/dev/null 2>&1; then
    CC=clang-14 CXX=clang++-14
else
    CC=clang CXX=clang++
fi
export CC CXX

cmake -S fuzz -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-fuzz -j"$(nproc)"

targets="$*"
if [ -z "$targets" ]; then
    for f in fuzz/*_fuzz.cpp; do
        n=$(basename "$f" _fuzz.cpp)
        targets="$targets $n"
    done
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=""
for t in $targets; do
    work="build-fuzz/run/$t"
    findings="build-fuzz/findings/$t"
    scratch="build-fuzz/tmp/$t"
    rm -rf "$work" "$findings" "$scratch"
    mkdir -p "$work" "$findings" "$scratch"
    cp fuzz/corpus/"$t"/* "$work"/
    echo "fuzz: $t for ${seconds}s"
    if ! TMPDIR="$PWD/$scratch" build-fuzz/"${t}"_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$findings"/ "$work" \
            >"build-fuzz/$t.log" 2>&1; then
        tail -n 60 "build-fuzz/$t.log"
        echo "fuzz: $t FAILED (reproducer in $findings)"
        failed="$failed $t"
    else
        grep -E '^stat::number_of_executed_units' "build-fuzz/$t.log" || true
    fi
done
if [ -n "$failed" ]; then
    echo "fuzz: findings in:$failed"
    exit 1
fi
echo "fuzz: no findings"
