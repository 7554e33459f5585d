#!/bin/sh
# What scraping costs: the fast loop at 64 connections, one request in flight
# each, ROUNDS alternating rounds of SECONDS_EACH seconds without and with a
# scraper fetching /metrics every 100 ms (build/bench/scrape). Both sides set
# metrics_listen, so the scrapes are the only difference. Prints one table,
# the medians and their ratio (the goal: scraping costs at most 1% of the
# checks per second), with the server's CPU time per request; then the
# server's CPU time per scrape, measured apart (scrape -cost), which the
# rounds' noise on a shared machine hides.
#
#   bench/metrics.sh               ROUNDS=5 SECONDS_EACH=10 USERS=100000
#
# Needs a Release or RelWithDebInfo build in build/.
set -eu
cd "$(dirname "$0")/.."
LOAD=build/bench/load
SCRAPE=build/bench/scrape
for p in "$LOAD" "$SCRAPE"; do
  [ -x "$p" ] || { echo "build $p first" >&2; exit 1; }
done
ROUNDS=${ROUNDS:-5}
SECS=${SECONDS_EACH:-10}
USERS=${USERS:-100000}
export ZORVEX_TEST_LOOP=fast
OUT=$(mktemp -d)
scraper=""
cleanup() {
  if [ -n "$scraper" ]; then kill "$scraper" 2>/dev/null || true; fi
  rm -rf "$OUT"
}
trap cleanup EXIT INT TERM

run() {  # name
  name=$1
  port=$($SCRAPE -free)
  scraper=""
  if [ "$name" = scraped ]; then
    # Bounded: the load's start-up (its users are generated first) plus the
    # run; until the server listens, scrapes fail without touching it.
    $SCRAPE "$port" 100 $((SECS + 120)) >"$OUT/scrape" 2>&1 &
    scraper=$!
  fi
  # The run ends at its deadline with requests in flight: only wrong replies fail it.
  $LOAD -c 64 -k 1 -u "$USERS" -n 100000000 -t "$SECS" \
    -conf "metrics_listen 127.0.0.1:$port" >"$OUT/run" 2>&1 || true
  scrapes=-
  if [ -n "$scraper" ]; then
    kill -TERM "$scraper"
    wait "$scraper" || true
    scraper=""
    scrapes=$(sed -n 's/^scrapes: \([0-9]*\) answered.*/\1/p' "$OUT/scrape")
    # At least half of the scrapes that the run's length allows.
    [ "${scrapes:-0}" -ge $((SECS * 5)) ] || { cat "$OUT/scrape" "$OUT/run"; exit 1; }
  fi
  grep -q ' 0 wrong replies' "$OUT/run" || { cat "$OUT/run"; exit 1; }
  rate=$(sed -n 's/^rate: \([0-9]*\) requests.*/\1/p' "$OUT/run")
  echo "$rate" >>"$OUT/$name"
  cpu=$(sed -n 's/^server cpu: [0-9.]* s, \([0-9.]*\) us.*/\1/p' "$OUT/run")
  echo "$cpu" >>"$OUT/$name.cpu"
  printf '| %s | %s | %s | %s | %s |\n' "$name" "$rate" "$cpu" "$scrapes" \
    "$(sed -n 's/^latency us: //p' "$OUT/run")"
}

median() { sort -n "$1" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

printf '| setup | req/s | server us/req | scrapes | latency us |\n|---|---|---|---|---|\n'
i=0
while [ $i -lt "$ROUNDS" ]; do
  run plain
  run scraped
  i=$((i + 1))
done
p=$(median "$OUT/plain"); s=$(median "$OUT/scraped")
pc=$(median "$OUT/plain.cpu"); sc=$(median "$OUT/scraped.cpu")
echo "C=64: without scraping $p req/s ($pc us/req), scraped every 100 ms $s req/s ($sc us/req)," \
  "ratio $(awk "BEGIN {printf \"%.3f\", $s / $p}")"
$SCRAPE -cost 5000
