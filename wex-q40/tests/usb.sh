#!/bin/sh
# wex-q40 against the module emulated at the USB level.
# usage: usb.sh concurrent|killed|snmp|unplugged|slowest WEX_USBEMU WEX_Q40 PROGRAM
set -u
case=$1
usbemu=$2
wexq40=$3
program=$4
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
json="$wexq40 json -l $work/lock -b $program"
good='.temperature == 30.0 and .humidity == 50.6 and .dewpoint == 18.6'

case $case in
concurrent)
    # The lock makes the second wait for the first instead of finding the module claimed.
    "$usbemu" --ready-at-once -- sh -c "$json >$work/a & $json >$work/b; wait" || echo "wex_usbemu ended with $?"
    outputs="$work/a $work/b"
    ;;
killed)
    # Killed in the middle of the measurement, the sensor is left mid-frame; the retries read it again.
    "$usbemu" --ready-at-once -- sh -c "timeout -s KILL 0.15 $program >/dev/null; $json >$work/a" || echo "wex_usbemu ended with $?"
    outputs="$work/a"
    ;;
snmp)
    # The module's USB strings, from the emulator's sysfs, in its entPhysicalTable row; it has no serial number.
    row=.1.3.6.1.2.1.47.1.1.1.1
    printf 'get\n%s\n' "$row.11.1000" "$row.12.1000" "$row.13.1000" .1.3.6.1.2.1.99.1.1.1.4.1001 |
        "$usbemu" --ready-at-once -- "$wexq40" snmp -l "$work/lock" -b "$program" >"$work/a" || echo "wex_usbemu ended with $?"
    cat "$work/a"
    printf '%s\n' "$row.11.1000" string "" "$row.12.1000" string WEX "$row.13.1000" string WEX-Q40 \
        .1.3.6.1.2.1.99.1.1.1.4.1001 integer 300 | cmp -s - "$work/a"
    exit
    ;;
slowest)
    # 2 ms per transfer and the sensor's longest conversions: the defaults neither refuse nor cut short a reading.
    printf 'get\n.1.3.6.1.2.1.99.1.1.1.4.1001\n' >"$work/in"
    # shellcheck disable=SC2016
    "$usbemu" --maximum-conversion --latency-us 2000 -- sh -c '
        "$0" check -l "$1/lock" -b "$2" --max-age 0 >"$1/check"; echo "check $?" >>"$1/status"
        $3 --max-age 0 >"$1/a"
        "$0" snmp -l "$1/lock" -b "$2" --max-age 0 <"$1/in" >"$1/snmp"' "$wexq40" "$work" "$program" "$json" ||
        echo "wex_usbemu ended with $?"
    cat "$work/check" "$work/status" "$work/snmp"
    grep -q '^WEX-Q40 OK' "$work/check" && grep -qx 'check 0' "$work/status" && grep -qx 300 "$work/snmp" || exit 1
    outputs="$work/a"
    ;;
unplugged)
    # row EMULATOR_OPTIONS SAID NOT_SAID SUBCOMMAND [ARGS...]: what the output must say, and must not.
    status=0
    row() {
        options=$1 said=$2 not_said=$3
        shift 3
        # shellcheck disable=SC2086
        "$usbemu" --ready-at-once $options -- "$wexq40" "$@" -l "$work/lock" -b "$program" <"$work/in" >"$work/out" 2>&1
        if ! grep -qF -- "$said" "$work/out" || grep -qiF -- "$not_said" "$work/out"; then
            echo "== $options, $*: not \"$said\", or \"$not_said\":"
            cat "$work/out"
            status=1
        fi
    }
    : >"$work/in"
    gone='the module was unplugged during the reading'
    row "--vanish-after 120" "UNKNOWN - $gone
plug the module back in
" checksum check -r 0
    row "--vanish-after 120" "\"error\":\"$gone\",\"advice\":\"plug the module back in\"" noise json -r 0
    row "--vanish-after 5" "\"advice\":\"plug the module back in; the retries found no module\"" "unpowered hubs" json -r 1
    row "--vanish-after 200" "wex-q40 textfile: reading failed: $gone" humidity textfile -r 0 -d "$work"
    row "--vanish-after 200" "wex-q40 influx: $gone" humidity influx -r 0
    row "--vanish-after 60" "trial reading failed: $gone" noise diagnose
    row "--bad-crc temp" "checksum mismatch in the temperature frame" unplug json -r 1
    row "--bad-crc hum" "a failing sensor" unplug check -r 0
    # The sensors' entPhySensorOperStatus: unavailable (2) when the module is gone, nonoperational (3) when it answered wrong.
    printf 'get\n.1.3.6.1.2.1.99.1.1.1.5.1001\n' >"$work/in"
    row "--vanish-after 120" "integer
2" unplug snmp -r 0
    row "--bad-crc temp" "integer
3" unplug snmp -r 0
    exit $status
    ;;
*)
    echo "unknown case $case"
    exit 2
    ;;
esac
status=0
for output in $outputs; do
    cat "$output"
    jq -e "$good" "$output" >/dev/null || status=1
done
exit $status
