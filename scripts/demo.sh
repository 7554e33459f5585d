#!/bin/sh
# Builds the programs and starts a demo server in engine mode with all its
# files in ./demo, listening on 127.0.0.1 port 6010 (metrics on 6011). Installs what the build
# needs first (scripts/deps.sh). Talk to it with build/zorvex; stop it with
# `touch demo/zorvexsvr.exit`.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
port=6010
pid=$(cat demo/zorvexsvr.pid 2>/dev/null || true)
case "$pid" in
'' | *[!0-9]*) ;;
*)
    if kill -0 "$pid" 2>/dev/null && [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$top/build/zorvexsvr" ]; then
        echo "A demo server is already running (pid $pid, files in demo/)."
        echo "Stop it with:  touch demo/zorvexsvr.exit"
        exit 0
    fi
    ;;
esac
scripts/deps.sh
echo "Building zorvexsvr, zorvex and kvauth in build/ (the first build takes a minute or two)..."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target zorvexsvr zorvex kvauth
mkdir -p demo/db
if [ ! -f demo/zorvexsvr.conf ]; then
    cat >demo/zorvexsvr.conf <<CONF
workarea $top/demo
logdir $top/demo
port $port
listen_address 127.0.0.1
secret_file $top/demo/xlate.dat
kvauth_path $top/demo/db
debug false
# The production profile (see packaging/zorvexsvr.conf for each line's
# meaning), logging to demo/zorvexsvr.log rather than syslog.
# The readiness-driven loop; without it the classic one (10 ms pauses).
loop fast
# Fingerprints in place of the secret, passwords and digests in the log.
log_secrets no
# One key=value line per request result instead of several per request.
log_requests true
# The brake on guessing: 5 failures brake an address or a user.
brake_failures 5
brake_window 60
brake_max_delay 15
brake_entries 50000
# New passwords as Argon2id (not {ssha}); checks rehash older forms once.
password_scheme argon2id
rehash yes
# Metrics for Prometheus at http://127.0.0.1:$((port + 1))/metrics.
metrics_listen 127.0.0.1:$((port + 1))
CONF
fi
# The first handshake creates the secret file; make it now so that the
# client finds it from the start. An existing one is never changed.
if [ ! -e demo/xlate.dat ]; then
    (
        umask 077
        od -An -N12 -tx4 /dev/urandom | tr -d ' \n' >demo/xlate.dat
        echo >>demo/xlate.dat
    )
fi
[ -f demo/db/kvauth.txt ] || printf 'alice:*secret:quota="10"\n' >demo/db/kvauth.txt
(cd demo && ../build/zorvexsvr -conf "$top/demo/zorvexsvr.conf")
sleep 1
addr=$(grep -m1 '^listen_address ' demo/zorvexsvr.conf | cut -d' ' -f2- || true)
[ -n "$addr" ] || addr="every IPv4 address"
lport=$(grep -m1 '^port ' demo/zorvexsvr.conf | cut -d' ' -f2- || true)
echo "Demo server running (pid $(cat demo/zorvexsvr.pid)), listening on $addr port ${lport:-601}, files in demo/."
echo "Try:   build/zorvex -conf demo/zorvexsvr.conf check alice secret"
echo "       build/zorvex -conf demo/zorvexsvr.conf set bob newpass 'quota=\"5\"'"
mlisten=$(grep -m1 '^metrics_listen ' demo/zorvexsvr.conf | cut -d' ' -f2- || true)
[ -z "$mlisten" ] || echo "Metrics: http://$mlisten/metrics (curl, a browser, or a Prometheus scrape job)"
echo "Stop:  touch demo/zorvexsvr.exit"
