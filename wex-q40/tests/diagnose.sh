#!/bin/sh
# wex-q40 diagnose against the emulated module, installed beside the udev rule
# as a package installs it: with a module attached, with none, and (when run
# as root) as user nobody with a device node it may not open; and the failures
# the emulator can make, as wex-q40 check sums them up.
# usage: diagnose.sh WEX_USBEMU WEX_Q40 PROGRAM UDEV_RULE
set -u
usbemu=$1
wexq40=$2
program=$3
rule=$4
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
# Readable by nobody too, for the case run as that user.
chmod 755 "$work"
mkdir -p "$work/usr/bin" "$work/usr/lib/udev/rules.d" "$work/collector"
cp "$wexq40" "$work/usr/bin/wex-q40"
cp "$rule" "$work/usr/lib/udev/rules.d/60-wex-q40.rules"

fail() {
    echo "FAIL: $*"
    cat "$work/out"
    exit 1
}
diagnose() {
    "$usbemu" --ready-at-once "$@" -- "$work/usr/bin/wex-q40" diagnose -l "$work/locks/lock" -d "$work/collector" -b "$program" \
        >"$work/out" 2>&1
}
# As the package makes the lock's folder, with nobody's group for the case run as nobody.
mkdir -m 3770 "$work/locks"
[ "$(id -u)" -eq 0 ] && chgrp 65534 "$work/locks"
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
has '^ok +trial reading: 30.0 C, 50.6 % \([0-9.]+ s of the [0-9.]+ s left\)$'
cat "$work/out"

diagnose --absent
status=$?
[ "$status" -eq 1 ] || fail "status $status with no module"
has '^problem no module with USB ID 0403:fbf9 on the bus$'
has '^ +fix: plug it in'
has '^problem trial reading failed: no WEX-Q40 module found'
has '^ +fix: plug the module in \(lsusb -d 0403:fbf9 lists it when attached\); once it is listed, the checks above'
grep -q 'wex-q40 diagnose' "$work/out" && fail "diagnose sends the user to itself"
[ "$(grep -c '^problem' "$work/out")" -eq 2 ] || fail "a problem besides the missing module"
# nobody must reach the emulator and the program, which a private folder above the build tree (a home of mode
# 0700) hides; the emulator finds its preloads beside itself, so it cannot be copied out like wex-q40.
as_nobody=no
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    if setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$usbemu" -a -x "$program"; then
        as_nobody=yes
    else
        echo "skipped as nobody: the build tree is in a folder that nobody may not enter"
    fi
fi
if [ $as_nobody = yes ]; then
    setpriv --reuid=65534 --regid=65534 --clear-groups "$usbemu" --ready-at-once --node-closed -- "$work/usr/bin/wex-q40" \
        diagnose -l "$work/locks/nobody" -d "$work/collector" -b "$program" >"$work/out" 2>&1
    status=$?
    [ "$status" -eq 1 ] || fail "status $status as nobody with a closed node"
    has '^problem this user may not open the module: /dev/bus/usb/001/002 mode 0000'
    has '^ +fix: install the udev rule 60-wex-q40.rules and replug, then: sudo adduser nobody plugdev'
    has '^problem trial reading failed: permission denied on /dev/bus/usb/001/002'
    setpriv --reuid=65534 --regid=65534 --clear-groups "$usbemu" --ready-at-once --node-closed -- "$work/usr/bin/wex-q40" \
        check -l "$work/locks/nobody" -b "$program" >"$work/out" 2>&1
    has '^WEX-Q40 UNKNOWN - permission denied on /dev/bus/usb/001/002$'
    grep -q '^retry' "$work/out" && fail "a permanent failure taken again"
fi

"$usbemu" --ready-at-once --claimed -- "$work/usr/bin/wex-q40" check -l "$work/locks/lock" -b "$program" -r 1 >"$work/out" 2>&1
has '^WEX-Q40 UNKNOWN - /dev/bus/usb/001/002 is claimed by another program$'
has '^another program holds the module: fuser -v /dev/bus/usb/001/002 shows which$'
has '^retry 1 of 1:$'
echo "diagnose: every check passes with a module attached; with none, the bus and the reading fail"
