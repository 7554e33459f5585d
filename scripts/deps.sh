#!/bin/sh
# Installs what building and testing need and this machine lacks (Debian;
# openssl is the real TLS client and certificate maker of the TLS tests;
# prometheus brings promtool and the server that the metrics tests scrape
# with, each run started by the test itself: a container without systemd
# never starts the package's own service, and no test needs it):
#   scripts/deps.sh [PACKAGE...]   the build and test packages, plus any named
# Used by scripts/test.sh, scripts/demo.sh, scripts/package-check.sh and .ci/run.
set -eu
pkgs="cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev libssl-dev libcrypt-dev libargon2-dev util-linux openssl prometheus"
# Tools that made the password test vectors (tests/data/hashes); the tests do
# not need them, regenerating the vectors does.
pkgs="$pkgs whois argon2"
missing=""
for p in $pkgs "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || {
        echo "deps: missing packages:$missing; install them as root (apt-get install$missing)" >&2
        exit 1
    }
    SUDO=sudo
fi
echo "deps: installing$missing"
$SUDO apt-get update -q
# shellcheck disable=SC2086 # one word per package
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends $missing
