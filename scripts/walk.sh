#!/bin/bash
# Lists the source files whose code runs while the server answers one check
# in engine mode, from the read of the request to the write of the reply
# (callgrind counts only inside the connection's read callback, io_read).
# The first check, which loads the index, is left out; the second is counted.
#   scripts/walk.sh [BUILD_DIR]     (default build/; needs valgrind)
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh valgrind python3
b=$(realpath "${1:-build}")
d=$(mktemp -d /tmp/zvwalk.XXXXXX)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$d/db"
printf 'workarea %s\nlogdir %s\nport %s\nlisten_address 127.0.0.1\nsecret_file %s/xlate.dat\nkvauth_path %s/db\n' \
    "$d" "$d" "$port" "$d" "$d" >"$d/z.conf"
(umask 077 && echo 0123456789abcdef01234567 >"$d/xlate.dat")
echo 'alice:*secret:quota="10"' >"$d/db/kvauth.txt"
(cd "$d" && valgrind -q --tool=callgrind --trace-children=yes --toggle-collect='io_read*' \
    --callgrind-out-file="$d/cg.%p" "$b/zorvexsvr" -conf "$d/z.conf" >/dev/null 2>"$d/vg.err")
for _ in $(seq 100); do [ -s "$d/zorvexsvr.pid" ] && break; sleep 0.1; done
pid=$(cat "$d/zorvexsvr.pid")
"$b/zorvex" -conf "$d/z.conf" check alice secret >/dev/null
callgrind_control -z "$pid" >/dev/null 2>&1
"$b/zorvex" -conf "$d/z.conf" check alice secret >/dev/null
touch "$d/zorvexsvr.exit"
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && kill "$pid"
files=$(callgrind_annotate --inclusive=yes "$d/cg.$pid" | grep -o '/src/[a-z]*/[a-z_]*\.cpp' |
    sed 's|^/||' | sort -u)
echo "$files"
echo "$(echo "$files" | wc -l) files"
rm -rf "$d"
