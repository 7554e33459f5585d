#!/bin/sh
# Builds the programs and starts a demo server in engine mode with all its
# files in ./demo, on port 6010. Talk to it with build/zorvex; stop it with
# `touch demo/zorvexsvr.exit`.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target zorvexsvr zorvex kvauth >/dev/null
top=$(pwd)
mkdir -p demo/db
if [ ! -f demo/zorvexsvr.conf ]; then
    cat > demo/zorvexsvr.conf <<CONF
workarea $top/demo
logdir $top/demo
port 6010
secret_file $top/demo/xlate.dat
kvauth_path $top/demo/db
debug false
CONF
fi
# The first handshake creates the secret file; make it now so that the
# client finds it from the start.
[ -s demo/xlate.dat ] || od -An -N12 -tx4 /dev/urandom | tr -d ' \n' > demo/xlate.dat
echo >> demo/xlate.dat
chmod 600 demo/xlate.dat
[ -f demo/db/kvauth.txt ] || printf 'alice:*secret:quota="10"\n' > demo/db/kvauth.txt
(cd demo && ../build/zorvexsvr -conf "$top/demo/zorvexsvr.conf")
sleep 1
echo "Demo server running (pid $(cat demo/zorvexsvr.pid)) on 127.0.0.1:6010, files in demo/."
echo "Try:   build/zorvex -conf demo/zorvexsvr.conf check alice secret"
echo "       build/zorvex -conf demo/zorvexsvr.conf set bob newpass 'quota=\"5\"'"
echo "Stop:  touch demo/zorvexsvr.exit"
