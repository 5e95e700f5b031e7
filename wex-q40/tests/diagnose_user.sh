#!/bin/sh
# wex-q40 diagnose says ok only for what the running user can do, loads no
# library into itself and ends within -t. Rows marked nobody run as that user
# (through setpriv, only when started as root); the systemctl row needs a
# mount namespace (root) to make systemd look present.
# usage: diagnose_user.sh WEX_Q40 PROGRAM VMODULE_DIR BROKEN_DIR MARKER_DIR
set -u
wexq40=$1
program=$2
vmodule=$3
broken=$4
marker=$5
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
# Copies that nobody may run, since a private folder above the build tree (a home of mode 0700) would hide it.
mkdir -p "$work/bin" "$work/vmodule" "$work/broken" "$work/marker"
cp "$wexq40" "$work/bin/wex-q40"
cp "$program" "$work/bin/wex_q40_test"
cp "$vmodule"/libftd2xx.so "$work/vmodule/"
cp "$broken"/libftd2xx.so "$work/broken/"
cp "$marker"/libftd2xx.so "$work/marker/"
wexq40=$work/bin/wex-q40 program=$work/bin/wex_q40_test
vmodule=$work/vmodule broken=$work/broken marker=$work/marker
root=no
[ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null && root=yes
failures=0

# A folder as the package makes it: root's, the user's group may write it, sticky.
fresh() {
    rm -rf "$work/locks" "$work/collector" "$work/out" "$work/marks"
    mkdir -m 3770 "$work/locks"
    mkdir -m 755 "$work/collector"
    if [ $root = yes ]; then
        chgrp 65534 "$work/locks"
        chown 65534 "$work/collector"
    fi
}
# diagnose USER LOCK [ENV...]: as root or nobody, with the virtual module unless ENV says otherwise.
diagnose() {
    who=$1
    lock=$2
    shift 2
    set -- env LD_LIBRARY_PATH="$vmodule" WEX_MARKER="$work/marks" "$@" \
        "$wexq40" diagnose -t 5 -l "$lock" -d "$work/collector" -b "$program"
    if [ "$who" = nobody ]; then
        setpriv --reuid=65534 --regid=65534 --clear-groups "$@" >"$work/out" 2>&1
    else
        "$@" >"$work/out" 2>&1
    fi
}
expect() {
    if ! grep -Eq "$2" "$work/out"; then
        echo "FAIL $1: no line like: $2"
        cat "$work/out"
        failures=$((failures + 1))
    fi
}
refuse() {
    if grep -Eq "$2" "$work/out"; then
        echo "FAIL $1: a line like: $2"
        cat "$work/out"
        failures=$((failures + 1))
    fi
}

if [ $root = yes ]; then
    fresh
    diagnose nobody "$work/locks/lock"
    expect "usable by nobody" '^ok +lock file .*/locks/lock made at the first reading$'
    expect "usable by nobody" '^ok +textfile collector.s folder .*, which this user may write$'
    expect "usable by nobody" '^ok +trial reading: 30.0 C'

    fresh
    : >"$work/locks/lock"
    chmod 600 "$work/locks/lock"
    diagnose nobody "$work/locks/lock"
    expect "root-only lock file" '^problem this user may not open the lock file .*/locks/lock: Permission denied \(mode 0600, owner root\)$'
    expect "root-only lock file" '^ +fix: sudo rm .*/locks/lock, and the next reading makes it again, mode 0644$'

    fresh
    chown root "$work/collector"
    diagnose nobody "$work/locks/lock"
    expect "collector not writable" "^problem this user may not write the textfile collector's folder .*: Permission denied \(mode 0755, owner root\)$"
fi

fresh
chmod 777 "$work/locks"
diagnose root "$work/locks/lock"
expect "world-writable lock folder" '^problem the lock.s folder .*/locks is writable by every user$'
expect "world-writable lock folder" '^ +fix: sudo systemd-tmpfiles --create wex-q40.conf$'
mkdir -m 777 "$work/open"
ln -s "$work/open" "$work/link"
diagnose root "$work/link/lock"
expect "link to a world-writable folder" '^problem the lock.s folder .*/link is a symbolic link$'

# The library search runs in a child with the reading's environment; none is loaded here.
fresh
diagnose root "$work/locks/lock" LD_LIBRARY_PATH="$broken"
expect "library lacking a function" '^problem USB library .*/libftd2xx.so cannot be used: it lacks FT_GetBitMode$'
env LD_LIBRARY_PATH="$marker" WEX_MARKER="$work/marks" \
    "$wexq40" diagnose -t 5 -l "$work/locks/lock" -d "$work/collector" -b "$program" >"$work/out" 2>&1 &
self=$!
wait $self
expect "library with a constructor" '^problem USB library .*/libftd2xx.so cannot be used: it lacks FT_SetVIDPID$'
if [ ! -s "$work/marks" ] || grep -qx "$self" "$work/marks"; then
    echo "FAIL library with a constructor: not loaded by a child of diagnose ($self) alone: $(cat "$work/marks" 2>/dev/null)"
    failures=$((failures + 1))
fi
rm -f "$work/marks"
cp "$marker/libftd2xx.so" "$work/libftd2xx.so"
(cd "$work" && env LD_LIBRARY_PATH=".:$vmodule" WEX_MARKER="$work/marks" \
    "$wexq40" diagnose -t 5 -l "$work/locks/lock" -d "$work/collector" -b "$program") >"$work/out" 2>&1
refuse "library in the current folder" 'USB library.*\./libftd2xx.so'
expect "library in the current folder" "^ok +USB library: $vmodule/libftd2xx.so$"
if [ -e "$work/marks" ]; then
    echo "FAIL library in the current folder: loaded by $(cat "$work/marks")"
    failures=$((failures + 1))
fi

if [ $root = yes ] && unshare -m true 2>/dev/null; then
    mkdir "$work/path"
    printf '#!/bin/sh\nexec sleep 600\n' >"$work/path/systemctl"
    chmod 755 "$work/path/systemctl"
    fresh
    start=$(date +%s%N)
    unshare -m sh -c 'mount -t tmpfs wex "$1" && mkdir "$1/system" && shift && exec "$@"' sh /run/systemd \
        env PATH="$work/path:$PATH" LD_LIBRARY_PATH="$vmodule" \
        "$wexq40" diagnose -t 3 -l "$work/locks/lock" -d "$work/collector" -b "$program" >"$work/out" 2>&1
    took=$((($(date +%s%N) - start) / 1000000))
    expect "systemctl that hangs" '^problem textfile timer: systemctl gave no answer within 1.00 s$'
    expect "systemctl that hangs" '^ok +trial reading: 30.0 C, 50.6 % \([0-9.]+ s of the [12]\.[0-9]+ s left\)$'
    if [ "$took" -gt 3300 ]; then
        echo "FAIL systemctl that hangs: diagnose -t 3 took $took ms"
        failures=$((failures + 1))
    fi
fi
[ $failures -eq 0 ] && echo "diagnose as root and as nobody: every check as the user finds it"
[ $failures -eq 0 ]
