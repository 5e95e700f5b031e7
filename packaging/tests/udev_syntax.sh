#!/bin/sh
# Lets the system's udevadm parse the rule files: they are mounted over
# /etc/udev/rules.d in a private mount namespace, so the host is untouched.
set -eu
rules_dir=$1
# A private mount namespace needs root; ctest reports the test as skipped otherwise.
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root for unshare -m"; exit 77; }
command -v udevadm >/dev/null || { echo "udevadm is missing (Debian package udev)"; exit 1; }
command -v unshare >/dev/null || { echo "unshare is missing (Debian package util-linux)"; exit 1; }

log=$(mktemp)
trap 'rm -f "$log"' EXIT
# shellcheck disable=SC2016 # the inner shell expands $1 itself
unshare -m sh -c '
    mount -t tmpfs wex-q40-rules /etc/udev/rules.d &&
    cp "$1"/60-wex-q40.rules "$1"/61-wex-q40-unbind-serial.rules /etc/udev/rules.d/ &&
    udevadm test --action=add /sys/devices/virtual/mem/null
' sh "$rules_dir" >"$log" 2>&1 || { cat "$log"; echo "udevadm test could not run"; exit 1; }

status=0
for rule in 60-wex-q40.rules 61-wex-q40-unbind-serial.rules; do
    if ! grep -q "Reading rules file: /etc/udev/rules.d/$rule" "$log"; then
        echo "udevadm did not read $rule"
        status=1
    fi
    if grep "/etc/udev/rules.d/$rule:" "$log"; then
        echo "udevadm complained about $rule"
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "udevadm parsed both rule files without a complaint"
exit "$status"
