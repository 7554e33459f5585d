#!/bin/sh
# Checks the manual pages and the Debian package:
#   - every page under doc/man renders with groff -ww and man --warnings
#     without a single warning;
#   - cpack -G DEB builds the package (in build-pkg/) with the expected
#     dependencies and files;
#   - lintian finds no error and no warning in it;
#   - dpkg installs it and it adds its system user, promtool (when there)
#     accepts its example alerting rules, the installed zorvexsvr
#     -version answers, the unit's command line started as that user, with
#     the installed configuration (the production profile), serves a
#     user added and checked with the installed zorvex, and dpkg removes and
#     purges it without leaving files behind.
#
#   scripts/package-check.sh          install into a scratch root (dpkg --root),
#                                     leaving this machine's packages alone
#   scripts/package-check.sh system   install on this machine (dpkg -i), then
#                                     remove and purge it again
# dpkg needs root; without it the package is only unpacked and run.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
mode=${1:-root}
case "$mode" in
root | system) ;;
*)
    echo "usage: $0 [system]" >&2
    exit 2
    ;;
esac

fail() {
    echo "package-check: FAILED: $*" >&2
    exit 1
}
say() { echo "package-check: $*"; }

is_root=0
[ "$(id -u)" -eq 0 ] && is_root=1

# ---- tools ----
scripts/deps.sh dpkg-dev groff-base man-db lintian

scratch=$(mktemp -d /tmp/zorvex-pkg.XXXXXX)
server_pid=""
cleanup() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT INT TERM

# ---- manual pages ----
for page in doc/man/*.[1-8]; do
    groff -ww -man -z "$page" 2>"$scratch/groff.err" || fail "groff failed on $page"
    [ -s "$scratch/groff.err" ] && { cat "$scratch/groff.err" >&2; fail "groff warnings in $page"; }
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" \
        >/dev/null 2>"$scratch/man.err" || fail "man -l failed on $page"
    [ -s "$scratch/man.err" ] && { cat "$scratch/man.err" >&2; fail "man warnings in $page"; }
    say "$page renders without warnings"
done

# ---- the package ----
bdir=build-pkg
cmake -S . -B "$bdir" -DCMAKE_BUILD_TYPE=Release -DZORVEX_BENCH=OFF \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$bdir" -j"$(nproc)" --target zorvexsvr kvauth zorvex >/dev/null
rm -f "$bdir"/zorvexsvr_*.deb
(cd "$bdir" && cpack -G DEB >/dev/null)
set -- "$bdir"/zorvexsvr_*.deb
[ -f "$1" ] || fail "cpack made no package"
deb="$top/$1"
say "built $1"

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libssl3 libcrypt1 libc6; do
    echo "$depends" | grep -q "\\b$lib\\b" || fail "Depends lacks $lib: $depends"
done
dpkg-deb -f "$deb" Package Version Depends
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$scratch/contents"
for f in /usr/sbin/zorvexsvr /usr/sbin/kvauth /usr/bin/zorvex \
    /usr/share/man/man8/zorvexsvr.8.gz /usr/share/man/man8/kvauth.8.gz \
    /usr/share/man/man1/zorvex.1.gz /usr/share/doc/zorvexsvr/copyright \
    /usr/share/doc/zorvexsvr/changelog.Debian.gz /usr/share/doc/zorvexsvr/SECURITY.md \
    /usr/share/doc/zorvexsvr/examples/zorvexsvr.conf \
    /usr/share/doc/zorvexsvr/examples/zorvexsvr.rules.yml /etc/zorvexsvr.conf \
    /usr/lib/systemd/system/zorvexsvr.service /usr/lib/tmpfiles.d/zorvexsvr.conf; do
    grep -qx "$f" "$scratch/contents" || fail "package lacks $f"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles | grep -qx /etc/zorvexsvr.conf ||
    fail "/etc/zorvexsvr.conf is not a conffile"
# lintian as root warns that it should not be; that line is no finding.
lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2>&1 |
    grep -v 'running with root privileges is not recommended' >"$scratch/lintian" || true
if [ -s "$scratch/lintian" ]; then
    cat "$scratch/lintian" >&2
    fail "lintian found errors or warnings"
fi
say "lintian: no errors, no warnings"

# Checks an installed tree under $1 ("" for this machine): the programs
# answer, and a server started with a private configuration serves a user
# that the installed zorvex adds and checks.
check_installed() {
    r=$1
    out=$("$r/usr/sbin/zorvexsvr" -version) || fail "installed zorvexsvr -version failed"
    [ "$out" = "Zorvexsvr Version 1.1e" ] || fail "zorvexsvr -version said: $out"
    say "installed $r/usr/sbin/zorvexsvr -version: $out"
    grep -q "^ExecStart=/usr/sbin/zorvexsvr " "$r/usr/lib/systemd/system/zorvexsvr.service" ||
        fail "unit does not start /usr/sbin/zorvexsvr"
    if command -v systemd-analyze >/dev/null 2>&1; then
        sed "s|/usr/sbin/zorvexsvr|$r/usr/sbin/zorvexsvr|" \
            "$r/usr/lib/systemd/system/zorvexsvr.service" >"$scratch/zorvexsvr.service"
        systemd-analyze verify --man=no "$scratch/zorvexsvr.service" ||
            fail "systemd-analyze verify found problems in the unit"
    fi

    # The installed configuration is the production profile.
    for key in 'loop fast' 'log_secrets no' 'log syslog' 'log_requests true' 'brake_failures 5' \
        'password_scheme argon2id' 'rehash yes' 'metrics_listen 127.0.0.1:9601'; do
        grep -qx "$key" "${r:-}/etc/zorvexsvr.conf" || fail "/etc/zorvexsvr.conf lacks \"$key\""
    done
    say "/etc/zorvexsvr.conf holds the production profile"
    if command -v promtool >/dev/null 2>&1; then
        promtool check rules "$r/usr/share/doc/zorvexsvr/examples/zorvexsvr.rules.yml" >/dev/null ||
            fail "promtool rejects the installed example alerting rules"
        say "the installed example alerting rules pass promtool check rules"
    fi

    t="$scratch/run"
    rm -rf "$t"
    mkdir -p "$t/db"
    # The unit's command line, on a private configuration, as the unit's user
    # (the system user the package made, found in the root's account files).
    exec_start=$(sed -n 's/^ExecStart=//p' "$r/usr/lib/systemd/system/zorvexsvr.service" |
        sed "s|^/usr/sbin/zorvexsvr|$r/usr/sbin/zorvexsvr|; s|/etc/zorvexsvr.conf|$t/zorvexsvr.conf|")
    unit_user=$(sed -n 's/^User=//p' "$r/usr/lib/systemd/system/zorvexsvr.service")
    ids=$(awk -F: -v u="$unit_user" '$1 == u { print $3 ":" $4 }' "${r:-}/etc/passwd" 2>/dev/null || true)
    as_user=""
    if [ "$is_root" -eq 1 ] && [ -n "$ids" ] && command -v setpriv >/dev/null 2>&1; then
        as_user="setpriv --reuid=${ids%:*} --regid=${ids#*:} --clear-groups"
    else
        say "the server runs as $(id -un), not as the unit's user $unit_user (not root, no such user or no setpriv)"
    fi
    od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$t/xlate.dat"
    echo >>"$t/xlate.dat"
    chmod 600 "$t/xlate.dat"
    if [ -n "$as_user" ]; then
        chmod 755 "$scratch"
        chown -R "$ids" "$t"
    fi
    port=$((20000 + $$ % 20000))
    tries=0
    while :; do
        # Private places first (the first definition of a key wins), then
        # the installed configuration: the server runs with its profile.
        printf 'workarea %s\nlogdir %s\nport %d\nsecret_file %s\nkvauth_path %s\n' \
            "$t" "$t" "$port" "$t/xlate.dat" "$t/db" >"$t/zorvexsvr.conf"
        # Its metrics beside its port, not on the profile's fixed one.
        printf 'metrics_listen 127.0.0.1:%d\n' $((port + 20000)) >>"$t/zorvexsvr.conf"
        cat "${r:-}/etc/zorvexsvr.conf" >>"$t/zorvexsvr.conf"
        # shellcheck disable=SC2086 # the unit's command line, split as systemd does
        if (cd "$t" && $as_user $exec_start >/dev/null); then
            break
        fi
        tries=$((tries + 1))
        [ "$tries" -lt 5 ] || fail "installed server could not listen (ports up to $port)"
        port=$((port + 1))
    done
    n=0
    while [ ! -s "$t/zorvexsvr.pid" ] && [ "$n" -lt 50 ]; do
        sleep 0.1
        n=$((n + 1))
    done
    server_pid=$(cat "$t/zorvexsvr.pid" 2>/dev/null || true)
    [ -n "$server_pid" ] || fail "installed server wrote no pid file"
    if [ -n "$as_user" ]; then
        [ "$(stat -c %u "/proc/$server_pid")" = "${ids%:*}" ] ||
            fail "the server does not run as $unit_user"
        say "the unit's command line runs as $unit_user (uid ${ids%:*})"
    fi
    zv() { "$r/usr/bin/zorvex" -conf "$t/zorvexsvr.conf" -timeout 10 "$@"; }
    zv set pkgcheck s3cret 'quota="7"' >/dev/null || fail "zorvex set failed"
    out=$(zv check pkgcheck s3cret) || fail "zorvex check of the right password failed: $out"
    case "$out" in "+OK pkgcheck config 0 "*) ;; *) fail "zorvex check said: $out" ;; esac
    if zv check pkgcheck wrong >/dev/null; then fail "zorvex check accepted a wrong password"; fi
    grep -q '^pkgcheck:\$argon2id\$' "$t/db/kvauth.add" ||
        fail "the profile's set did not store an Argon2id field"
    out=$(echo 'lookup pkgcheck' | "$r/usr/sbin/kvauth" -path "$t/db")
    case "$out" in "+OK pkgcheck config 0 "*) ;; *) fail "kvauth lookup said: $out" ;; esac
    touch "$t/zorvexsvr.exit"
    n=0
    while kill -0 "$server_pid" 2>/dev/null && [ "$n" -lt 100 ]; do
        sleep 0.1
        n=$((n + 1))
    done
    kill -0 "$server_pid" 2>/dev/null && fail "installed server did not stop at its exit file"
    server_pid=""
    # Its log went to syslog, not to a file.
    [ ! -e "$t/zorvexsvr.log" ] || fail "the profile's server wrote zorvexsvr.log instead of syslog"
    say "installed server with the profile, zorvex and kvauth served a user on port $port and stopped"
}

# The files of the package that must be gone after removal (the conffile
# and the secret stay until purge).
check_removed() {
    r=$1
    for f in /usr/sbin/zorvexsvr /usr/sbin/kvauth /usr/bin/zorvex /usr/share/man/man8/zorvexsvr.8 \
        /usr/lib/systemd/system/zorvexsvr.service; do
        [ ! -e "$r$f" ] || fail "$r$f is left after removal"
    done
}
check_purged() {
    r=$1
    for f in /etc/zorvexsvr.conf /etc/zorvexsvr /var/log/zorvexsvr /var/lib/zorvexsvr; do
        [ ! -e "$r$f" ] || fail "$r$f is left after purge"
    done
}

if [ "$is_root" -eq 0 ]; then
    say "not root: dpkg -i and dpkg -r skipped; checking the unpacked package instead"
    dpkg-deb -x "$deb" "$scratch/unpacked"
    check_installed "$scratch/unpacked"
    say "OK (unpacked only)"
    exit 0
fi

if [ "$mode" = system ]; then
    if dpkg -s zorvexsvr >/dev/null 2>&1; then
        fail "zorvexsvr is installed on this machine already; not touching it"
    fi
    dpkg -i "$deb"
    [ -s /etc/zorvexsvr/xlate.dat ] || fail "no shared secret after installation"
    check_installed ""
    dpkg -r zorvexsvr
    check_removed ""
    [ -f /etc/zorvexsvr.conf ] || fail "removal took the conffile (only purge may)"
    dpkg -P zorvexsvr
    check_purged ""
    say "OK (installed, removed and purged on this machine)"
    exit 0
fi

# A scratch root whose dpkg database knows the host's copies of the packages
# ours depends on, so that dpkg checks the dependencies for real.
root="$scratch/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
: >"$root/var/lib/dpkg/available"
: >"$root/var/lib/dpkg/status"
for dep in $(echo "$depends" | sed 's/([^)]*)//g; s/:any//g; s/[,|]/ /g'); do
    dpkg-query -s "$dep" >>"$root/var/lib/dpkg/status" 2>/dev/null ||
        fail "dependency $dep is not installed on this machine"
    echo >>"$root/var/lib/dpkg/status"
    # No file list: the files stay the host's, but dpkg wants the list.
    : >"$root/var/lib/dpkg/info/$(dpkg-query -W -f='${binary:Package}' "$dep").list"
done
# The host's account files, so that the package can add its system user there.
mkdir -p "$root/etc"
for f in passwd group shadow gshadow; do
    [ -f "/etc/$f" ] && cp -p "/etc/$f" "$root/etc/$f"
done
dp() { dpkg --root="$root" --force-script-chrootless --log=/dev/null "$@"; }
dp -i "$deb" || fail "dpkg -i into $root failed"
grep -q '^zorvexsvr:' "$root/etc/passwd" || fail "the package made no system user zorvexsvr"
[ "$(stat -c %a "$root/etc/zorvexsvr/xlate.dat")" = 600 ] || fail "secret file is not mode 600"
grep -Eqx '[0-9a-f]{32}' "$root/etc/zorvexsvr/xlate.dat" || fail "secret file holds no secret"
[ -d "$root/var/lib/zorvexsvr/db" ] || fail "no engine directory after installation"
check_installed "$root"
dp -r zorvexsvr || fail "dpkg -r failed"
check_removed "$root"
[ -f "$root/etc/zorvexsvr.conf" ] || fail "removal took the conffile (only purge may)"
dp -P zorvexsvr || fail "dpkg -P failed"
check_purged "$root"
left=$(cd "$root" && find . -mindepth 1 ! -type d ! -path './var/lib/dpkg/*' \
    ! -path './etc/passwd*' ! -path './etc/group*' ! -path './etc/shadow*' ! -path './etc/gshadow*')
[ -z "$left" ] || fail "files left in the scratch root after purge: $left"
say "OK (installed, removed and purged in a scratch root)"
