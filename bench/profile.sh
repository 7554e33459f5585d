#!/bin/sh
# The production profile against the fast loop with the classic log, side
# by side in one run: the same load client, one request in flight per
# connection, at 1 and 64 connections, ROUNDS rounds of SECONDS each,
# alternating, so that a busy machine weighs on both alike. Prints one table
# and the ratio of the medians, with the server's CPU time per request (the
# steadier figure on a shared machine).
#
#   bench/profile.sh               ROUNDS=3 SECONDS=10 USERS=100000
#
# Needs a Release or RelWithDebInfo build in build/.
set -eu
cd "$(dirname "$0")/.."
LOAD=build/bench/load
[ -x "$LOAD" ] || { echo "build $LOAD first" >&2; exit 1; }
ROUNDS=${ROUNDS:-3}
SECS=${SECONDS_EACH:-10}
USERS=${USERS:-100000}
export ZORVEX_TEST_LOOP=fast
# The demo's and the package's profile, less syslog (the file log is what
# both sides write to here).
PROFILE="-conf log_secrets\ no -conf log_requests\ true -conf brake_failures\ 5 -from 1"
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT

run() {  # name conns extra...
  name=$1; c=$2; shift 2
  # The run ends at its deadline with requests in flight: only wrong replies fail it.
  eval "$LOAD -c $c -k 1 -u $USERS -n 100000000 -t $SECS $*" >"$OUT/run" 2>&1 || true
  grep -q ' 0 wrong replies' "$OUT/run" || { cat "$OUT/run"; exit 1; }
  rate=$(sed -n 's/^rate: \([0-9]*\) requests.*/\1/p' "$OUT/run")
  echo "$rate" >>"$OUT/$name.$c"
  cpu=$(sed -n 's/^server cpu: [0-9.]* s, \([0-9.]*\) us.*/\1/p' "$OUT/run")
  echo "$cpu" >>"$OUT/$name.$c.cpu"
  printf '| %s | %s | %s | %s | %s |\n' "$name" "$c" "$rate" "$cpu" "$(sed -n 's/^latency us: //p' "$OUT/run")"
}

median() { sort -n "$1" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

printf '| setup | C | req/s | server us/req | latency us |\n|---|---|---|---|---|\n'
for c in 1 64; do
  i=0
  while [ $i -lt "$ROUNDS" ]; do
    run fast "$c"
    run profile "$c" "$PROFILE"
    i=$((i + 1))
  done
done
for c in 1 64; do
  f=$(median "$OUT/fast.$c"); p=$(median "$OUT/profile.$c")
  fc=$(median "$OUT/fast.$c.cpu"); pc=$(median "$OUT/profile.$c.cpu")
  echo "C=$c: fast loop $f req/s ($fc us/req), profile $p req/s ($pc us/req), ratio $(awk "BEGIN {printf \"%.2f\", $p / $f}")"
done
