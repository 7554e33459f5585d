#!/bin/sh
# Runs clang-tidy (the checks of .clang-tidy) over src/ and programs/; fails
# on any finding. Uses the compile commands of build-tidy/.
set -eu
cd "$(dirname "$0")/.."
tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [ -z "$tidy" ]; then
    echo "tidy: clang-tidy not found" >&2
    exit 1
fi
cmake -S . -B build-tidy -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DZORVEX_BENCH=OFF >/dev/null
git ls-files 'src/*.cpp' 'programs/*.cpp' |
    xargs -P"$(nproc)" -n4 "$tidy" -p build-tidy --quiet --extra-arg=-Wno-unknown-warning-option
