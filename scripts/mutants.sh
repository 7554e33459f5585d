#!/bin/bash
# Measures what the test suite catches: applies the faults listed in
# scripts/mutants.txt one at a time to the source, builds, runs the suite and
# reports each fault as
#   CAUGHT    the build passed and a test failed (or the suite ran out of time)
#   SURVIVED  the build passed and every test passed
#   INVALID   the fault does not compile (a bad row: it counts for nothing)
#   STALE     the fragment is not found exactly once in src/ and programs/
# and at the end the score, caught/valid (valid = caught + survived).
#
#   scripts/mutants.sh [options]
#     -m IDS      only these faults: comma-separated ids or shell patterns (pool-*)
#     -R REGEX    run only the tests matching REGEX (passed to ctest -R)
#     -E REGEX    leave out the tests matching REGEX (passed to ctest -E)
#     -f FILE     the list of faults (default scripts/mutants.txt)
#     -B DIR      build directory (default build-mutants, RelWithDebInfo)
#     -t SECONDS  limit for one run of the suite (default 900); over it: CAUGHT
#     -j N        parallel tests and compile jobs (default 2)
#     -n          skip the run of the suite on the unchanged source first
#     -l          only list the faults and whether their fragment is found
#
# The source is restored after each fault, also when the script is
# interrupted; a run killed outright is repaired at the start of the next one.
# The logs of each fault's build and tests are kept in DIR/mutants-logs/.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)

list=scripts/mutants.txt
bdir=build-mutants
only=""
ctest_filter=()
limit=900
jobs=2
baseline=1
list_only=0
while getopts "m:R:E:f:B:t:j:nlh" opt; do
    case $opt in
        m) only=$OPTARG ;;
        R) ctest_filter+=(-R "$OPTARG") ;;
        E) ctest_filter+=(-E "$OPTARG") ;;
        f) list=$OPTARG ;;
        B) bdir=$OPTARG ;;
        t) limit=$OPTARG ;;
        j) jobs=$OPTARG ;;
        n) baseline=0 ;;
        l) list_only=1 ;;
        *) sed -n '2,/^set -u/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2 ;;
    esac
done

logs=$bdir/mutants-logs
save=$bdir/mutants-saved   # the original of the file being mutated
mkdir -p "$logs"

# The file under mutation, and whether it must be put back.
target=""

restore() {
    if [ -n "$target" ] && [ -f "$save/original" ]; then
        # A plain copy, not one that keeps the time stamp: the restored file
        # must look newer than its mutated object so that it is rebuilt.
        cp "$save/original" "$target"
        cmp -s "$save/original" "$target" || echo "mutants: could not restore $target" >&2
    fi
    target=""
    rm -rf "$save"
}

# A previous run killed before it could restore its file.
if [ -f "$save/path" ]; then
    target=$(cat "$save/path")
    echo "mutants: restoring $target left mutated by an earlier run"
    restore
fi
trap 'restore' EXIT
trap 'restore; exit 130' INT TERM HUP

# Number of occurrences of a fixed string in the tree, and the file of the last.
locate() {
    local hits
    hits=$(grep -rFo --include='*.cpp' --include='*.h' -- "$1" src programs | cut -d: -f1)
    if [ -z "$hits" ]; then
        echo "0 -"
    else
        echo "$(printf '%s\n' "$hits" | wc -l) $(printf '%s\n' "$hits" | tail -1)"
    fi
}

trim() {
    local s=$1
    s=${s#"${s%%[![:space:]]*}"}
    s=${s%"${s##*[![:space:]]}"}
    printf '%s' "$s"
}

selected() {
    [ -z "$only" ] && return 0
    local pat
    IFS=, read -ra pats <<< "$only"
    for pat in "${pats[@]}"; do
        # shellcheck disable=SC2053
        [[ $1 == $pat ]] && return 0
    done
    return 1
}

# Reads the rows: ids, descriptions, fragments, replacements.
ids=() whats=() froms=() tos=()
while IFS= read -r line || [ -n "$line" ]; do
    case $line in '' | '#'*) continue ;; esac
    rest=$line
    f1=${rest%%|||*}; rest=${rest#*|||}
    f2=${rest%%|||*}; rest=${rest#*|||}
    f3=${rest%%|||*}; rest=${rest#*|||}
    f4=$rest
    if [ "$f3" = "$rest" ] || [[ $f4 == *'|||'* ]]; then
        echo "mutants: bad row in $list: $line" >&2
        exit 2
    fi
    id=$(trim "$f1")
    selected "$id" || continue
    ids+=("$id")
    whats+=("$(trim "$f2")")
    froms+=("$(trim "$f3")")
    tos+=("$(trim "$f4")")
done < "$list"

if [ ${#ids[@]} -eq 0 ]; then
    echo "mutants: no fault selected" >&2
    exit 2
fi

if [ $list_only = 1 ]; then
    for i in "${!ids[@]}"; do
        read -r n where <<< "$(locate "${froms[$i]}")"
        if [ "$n" = 1 ]; then state=$where; else state="STALE ($n matches)"; fi
        printf '%-18s %-40s %s\n' "${ids[$i]}" "$state" "${whats[$i]}"
    done
    exit 0
fi

build() {
    cmake --build "$bdir" -j"$jobs" > "$1" 2>&1
}

# ctest starts the longest tests first; a fault is found soonest when the
# quick ones go first, so the costs of a clean run are kept inverted and put
# in place before every run (without the list of tests that failed last).
costs=$bdir/mutants-costs.txt
ctest_costs=$bdir/Testing/Temporary/CTestCostData.txt
keep_costs() {
    [ -f "$ctest_costs" ] || return 0
    awk '/^---/ { exit } NF == 3 { printf "%s 1 %.6f\n", $1, 1 / ($3 + 0.01) }' \
        "$ctest_costs" > "$costs"
}
quick_first() {
    [ -f "$costs" ] || return 0
    cp "$costs" "$ctest_costs"
    rm -f "$bdir/Testing/Temporary/LastTestsFailed.log"
}

# Runs the suite; prints "<status> <first failing test>", status 0 all passed.
run_suite() {
    local log=$1 rc first
    quick_first
    (cd "$bdir" && timeout -k 30 "$limit" ctest -j"$jobs" --stop-on-failure --timeout 120 \
        --output-on-failure "${ctest_filter[@]}") > "$log" 2>&1
    rc=$?
    if [ $rc = 124 ] || [ $rc = 137 ]; then
        echo "1 (suite-time-limit)"
        return
    fi
    first=$(grep -E 'Test +#[0-9]+: ' "$log" | grep -vE ' Passed +[0-9.]+ sec' \
        | grep -E '\*\*\*|Failed|Exception|Timeout|Not Run' | head -1 \
        | sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/')
    if [ $rc = 0 ]; then
        echo "0 -"
    else
        echo "1 ${first:-(ctest-exit-$rc)}"
    fi
}

echo "mutants: ${#ids[@]} faults, build in $bdir, suite limit ${limit}s, $(date -u +%H:%M:%S) UTC"
if [ ! -f "$bdir/CMakeCache.txt" ]; then
    cmake -S . -B "$bdir" -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$logs/configure.log" 2>&1 || {
        echo "mutants: configure failed, see $logs/configure.log" >&2
        exit 1
    }
fi
if ! build "$logs/baseline-build.log"; then
    echo "mutants: the unchanged source does not build, see $logs/baseline-build.log" >&2
    exit 1
fi
if [ $baseline = 1 ]; then
    t0=$SECONDS
    read -r st first <<< "$(run_suite "$logs/baseline-test.log")"
    if [ "$st" != 0 ]; then
        echo "mutants: the suite fails on the unchanged source ($first), see $logs/baseline-test.log" >&2
        exit 1
    fi
    echo "mutants: unchanged source passes in $((SECONDS - t0))s"
    keep_costs
elif [ ! -f "$costs" ]; then
    keep_costs
fi

results=()
caught=0 survived=0 invalid=0 stale=0
for i in "${!ids[@]}"; do
    id=${ids[$i]}
    t0=$SECONDS
    read -r n where <<< "$(locate "${froms[$i]}")"
    if [ "$n" != 1 ]; then
        status=STALE first="($n matches)"
        stale=$((stale + 1))
    else
        mkdir -p "$save"
        cp "$where" "$save/original"
        echo "$where" > "$save/path"
        target=$where
        FROM=${froms[$i]} TO=${tos[$i]} perl -0pi -e 's/\Q$ENV{FROM}\E/$ENV{TO}/' "$where"
        if cmp -s "$save/original" "$where"; then
            status=INVALID first="(replacement changed nothing)"
            invalid=$((invalid + 1))
        elif ! build "$logs/$id-build.log"; then
            status=INVALID first="(does not compile)"
            invalid=$((invalid + 1))
        else
            read -r st first <<< "$(run_suite "$logs/$id-test.log")"
            if [ "$st" = 0 ]; then
                status=SURVIVED first="-"
                survived=$((survived + 1))
            else
                status=CAUGHT
                caught=$((caught + 1))
            fi
        fi
        restore
    fi
    line=$(printf '%-18s %-8s %-55s %4ds  %s' "$id" "$status" "$first" $((SECONDS - t0)) \
        "$(basename "${where:-?}")")
    echo "$line"
    results+=("$line   ${whats[$i]}")
done

# Leaves the build matching the restored source.
build "$logs/final-build.log" || echo "mutants: rebuild of the restored source failed" >&2

echo
echo "Faults:"
printf '  %s\n' "${results[@]}"
valid=$((caught + survived))
echo
echo "caught $caught, survived $survived, invalid $invalid, stale $stale"
echo "score: $caught/$valid"
