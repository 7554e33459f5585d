#!/bin/sh
# Installs what pgauth and its tests need from Debian's packages when missing:
# libpq-dev (to build pgauth) and postgresql (initdb, pg_ctl and the server
# for the tests' throwaway clusters). The system's own cluster is not started:
# the tests run theirs in temporary directories.
set -eu
missing=""
for p in libpq-dev postgresql; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -n "$missing" ] || exit 0
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
# A policy that refuses every service start, for the length of the install
# only, and only when the machine has none of its own.
policy=/usr/sbin/policy-rc.d
own_policy=""
if [ ! -e "$policy" ]; then
    own_policy=yes
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
fi
status=0
$SUDO apt-get update || status=$?
if [ "$status" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing ||
        status=$?
fi
[ -z "$own_policy" ] || $SUDO rm -f "$policy"
exit "$status"
