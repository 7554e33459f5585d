#!/bin/sh
# Builds everything and runs every test.
#   scripts/test.sh            normal build in build/
#   scripts/test.sh sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
if [ "${1:-}" = "sanitize" ]; then
    dir=build-asan
    flags="-DZORVEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
    dir=build
    flags="-DCMAKE_BUILD_TYPE=RelWithDebInfo"
fi
cmake -S . -B "$dir" $flags
cmake --build "$dir" -j"$(nproc)"
cd "$dir"
ctest --output-on-failure -j2 --timeout 900
