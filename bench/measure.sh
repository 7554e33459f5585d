#!/bin/sh
# Runs the load client over a matrix of connections (C), requests in flight
# (K), users (N) and modes, prints one table and draws doc/perf_rps.png and
# doc/perf_latency.png with gnuplot (when installed).
#
#   bench/measure.sh            C = 1 8 64 1000, K = 1 16, N = 100000, engine and pool x3
#   FULL=1 bench/measure.sh     adds C = 10000 and N = 1000000
#   LOOP=fast bench/measure.sh  the same with the server in its fast loop
#
# Needs a Release or RelWithDebInfo build in build/ (scripts/test.sh makes one).
set -eu
cd "$(dirname "$0")/.."
B=build
LOAD=$B/bench/load
KV=$(pwd)/$B/kvauth
[ -x "$LOAD" ] || { echo "build $LOAD first" >&2; exit 1; }
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT

CONNS="1 8 64 1000"
# The test fixture writes "loop fast" into the server's configuration.
[ "${LOOP:-}" = fast ] && export ZORVEX_TEST_LOOP=fast
USERS="100000"
if [ "${FULL:-0}" = 1 ]; then CONNS="$CONNS 10000"; USERS="$USERS 1000000"; fi

printf '| mode | N | C | K | req/s | p50 ms | p99 ms | max ms | server us/req | RSS MB |\n'
printf '|---|---|---|---|---|---|---|---|---|---|\n'
for n in $USERS; do
  for mode in engine pool3; do
    for c in $CONNS; do
      for k in 1 16; do
        # Enough requests for a few seconds of load, bounded in time.
        req=$((c * k * 40)); [ $req -lt 20000 ] && req=20000; [ $req -gt 400000 ] && req=400000
        extra=""
        [ $mode = pool3 ] && extra="-pool $KV -procs 3"
        [ $mode = pool3 ] && [ $c -gt 64 ] && continue
        tag="$mode-$n-$c-$k"
        $LOAD -c $c -k $k -u $n -n $req -t 120 -lat "$OUT/lat-$tag" $extra > "$OUT/$tag" 2>&1 || true
        awk -v mode=$mode -v n=$n -v c=$c -v k=$k '
          /^rate:/ {rate=$2}
          /^latency/ {p50=$4/1000; p99=$6/1000; mx=$8/1000}
          /^server cpu/ {us=$5; rss=$8/1024}
          END {printf "| %s | %d | %d | %d | %.0f | %.1f | %.1f | %.1f | %.1f | %.1f |\n", mode, n, c, k, rate, p50, p99, mx, us, rss}
        ' "$OUT/$tag" | tee -a "$OUT/table"
        [ $mode = engine ] && [ $n = 100000 ] && echo "$c $k $(awk '/^rate:/ {print $2}' "$OUT/$tag")" >> "$OUT/rps-$k"
      done
    done
  done
done

if command -v gnuplot >/dev/null 2>&1; then
  gnuplot <<PLOT
set terminal png size 800,500
set output 'doc/perf_rps.png'
set title 'Engine mode, 100,000 users: requests per second'
set logscale x
set xlabel 'connections'
set ylabel 'requests / s'
set key top left
plot '$OUT/rps-1' using 1:3 with linespoints title 'K = 1 in flight', \
     '$OUT/rps-16' using 1:3 with linespoints title 'K = 16 in flight'
set output 'doc/perf_latency.png'
set title 'Engine mode, 100,000 users, 64 connections: latency distribution'
unset logscale x
set xlabel 'percentile'
set ylabel 'latency (ms)'
plot '$OUT/lat-engine-100000-64-1' using 1:(\$2/1000) with lines title 'K = 1', \
     '$OUT/lat-engine-100000-64-16' using 1:(\$2/1000) with lines title 'K = 16'
PLOT
  echo "plots: doc/perf_rps.png doc/perf_latency.png"
fi
