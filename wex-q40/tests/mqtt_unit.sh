#!/bin/sh
# Installs the build tree under a scratch prefix and checks wex-q40-mqtt.service and its timer with systemd-analyze.
# usage: mqtt_unit.sh BUILD_DIR
set -eu
build=$1
for tool in systemd-analyze cmake; do
    command -v "$tool" >/dev/null || { echo "$tool is missing"; exit 1; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; exit 1; }
units=$prefix/lib/systemd/system
service=$units/wex-q40-mqtt.service
failed=0
fail() { echo "FAIL: $*"; failed=1; }

grep -qx "ExecStart=$prefix/bin/wex-q40 mqtt \$WEX_Q40_MQTT_OPTIONS" "$service" || fail "ExecStart does not follow the prefix"
grep -qx "EnvironmentFile=$prefix/etc/wex-q40/mqtt" "$service" || fail "EnvironmentFile does not follow the prefix"
grep -q '^WEX_Q40_MQTT_OPTIONS=--host ' "$prefix/etc/wex-q40/mqtt" || fail "the options file sets no WEX_Q40_MQTT_OPTIONS"
grep -q '^RestrictAddressFamilies=.*AF_INET AF_INET6' "$service" || fail "the service cannot reach a broker"
if grep -Eq '^(IPAddressDeny|PrivateNetwork)=' "$service"; then fail "the service is cut off the network"; fi

verify=$(MANPATH=$prefix/share/man systemd-analyze verify "$units/wex-q40-mqtt.timer" "$service" 2>&1) ||
    fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"

report=$(systemd-analyze security --offline=true "$service" 2>&1 || true)
level=$(printf '%s\n' "$report" | sed -n 's/.*Overall exposure level for [^ ]*: \([0-9.]*\) .*/\1/p')
[ -n "$level" ] || fail "no exposure level in: $report"
echo "systemd-analyze security: $level"
# Below 5.0 is "OK" or better.
if [ -z "$level" ] || ! awk -v l="$level" 'BEGIN { exit !(l < 5.0) }'; then fail "exposure $level is not below 5.0"; fi

calendar=$(sed -n 's/^OnCalendar=//p' "$units/wex-q40-mqtt.timer")
[ "$calendar" = minutely ] || fail "the timer fires at $calendar, not every minute"
grep -qx 'WantedBy=timers.target' "$units/wex-q40-mqtt.timer" || fail "the timer is not wanted by timers.target"
exit $failed
