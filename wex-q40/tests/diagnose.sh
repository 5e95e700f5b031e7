#!/bin/sh
# wex-q40 diagnose against the emulated module, installed beside the udev rule
# as a package installs it, with a module attached and with none.
# usage: diagnose.sh WEX_USBEMU WEX_Q40 PROGRAM UDEV_RULE
set -u
usbemu=$1
wexq40=$2
program=$3
rule=$4
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/usr/bin" "$work/usr/lib/udev/rules.d" "$work/collector"
cp "$wexq40" "$work/usr/bin/wex-q40"
cp "$rule" "$work/usr/lib/udev/rules.d/60-wex-q40.rules"

fail() {
    echo "FAIL: $*"
    cat "$work/out"
    exit 1
}
diagnose() {
    "$usbemu" "$@" -- "$work/usr/bin/wex-q40" diagnose -l "$work/lock" -d "$work/collector" -b "$program" \
        >"$work/out" 2>&1
}
has() {
    grep -Eq "$1" "$work/out" || fail "no line like: $1"
}

diagnose
status=$?
[ "$status" -eq 0 ] || fail "status $status with a module attached"
grep -q '^problem' "$work/out" && fail "a problem with a module attached"
has '^ok +module on the bus at 1-1, device node /dev/bus/usb/001/002$'
has '^ok +this user may open the module: /dev/bus/usb/001/002 '
has "^ok +udev rule $work/usr/bin/../lib/udev/rules.d/60-wex-q40.rules$|^ok +udev rule .*/60-wex-q40.rules$"
has '^ok +trial reading: 30.0 C, 50.6 % \([0-9.]+ s\)$'
cat "$work/out"

diagnose --absent
status=$?
[ "$status" -eq 1 ] || fail "status $status with no module"
has '^problem no module with USB ID 0403:fbf9 on the bus$'
has '^ +fix: plug it in'
has '^problem trial reading failed: no WEX-Q40 module found'
[ "$(grep -c '^problem' "$work/out")" -eq 2 ] || fail "a problem besides the missing module"
echo "diagnose: every check passes with a module attached; with none, the bus and the reading fail"
