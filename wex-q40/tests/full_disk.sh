#!/bin/sh
# wex-q40 textfile on a full file system: a 4 KiB tmpfs in a private mount namespace.
# usage: full_disk.sh WEX_Q40 PROGRAM LIBRARY_DIR; status 77 when nothing can be mounted.
set -u
if [ -z "${WEX_FULL_DISK_NS:-}" ]; then
    unshare -m true 2>/dev/null || { echo "no private mount namespace here"; exit 77; }
    WEX_FULL_DISK_NS=1 exec unshare -m sh "$0" "$@"
fi
wexq40=$1
program=$2
library=$3
work=$(mktemp -d) || exit 1
full=$work/full
trap 'umount "$full" 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$full"
mount -t tmpfs -o size=4k,mode=0755 tmpfs "$full" || { echo "cannot mount a tmpfs"; exit 77; }

fail() {
    echo "FAIL: $*"
    cat "$work/err"
    exit 1
}
textfile() {
    LD_LIBRARY_PATH=$library VWEX_TEMP=22.4 VWEX_HUM=41.5 \
        "$wexq40" textfile -d "$full" -l "$work/lock" -b "$program" -r 0 2>"$work/err"
}
fill() {
    head -c 65536 /dev/zero >"$full/filler" 2>/dev/null
}

# A previous good file, then a disk with no room for the next one: the old
# values and their success must not stay exported.
textfile || fail "first reading ended with $?"
fill
textfile
status=$?
[ "$status" -eq 2 ] || fail "status $status on a full disk"
grep -q 'cannot write' "$work/err" || fail "no message on a full disk"
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "more than one line on standard error"
cat "$work/err"
[ "$(ls -A "$full")" = "filler" ] || fail "left: $(ls -A "$full")"

# No previous file: nothing is left, in particular no empty file.
rm -f "$full/wex_q40.prom" "$full/filler"
fill
textfile
status=$?
[ "$status" -eq 2 ] || fail "status $status on a full disk without a previous file"
[ "$(ls -A "$full")" = "filler" ] || fail "left: $(ls -A "$full")"
echo "full disk: status 2, previous file removed, no temporary or empty file left"
