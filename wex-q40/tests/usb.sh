#!/bin/sh
# wex-q40 against the module emulated at the USB level.
# usage: usb.sh concurrent|killed|calibration|snmp|unplugged|slowest WEX_USBEMU WEX_Q40 PROGRAM
set -u
# Inside the emulator: snmp asked for the OIDs once its first reading, taken by a thread beside the answers,
# has a time stamp; its answers but those of the waiting.
# usage: usb.sh ask-snmp WEX_Q40 PROGRAM FOLDER OPTIONS OID...
if [ "$1" = ask-snmp ]; then
    wexq40=$2 program=$3 folder=$4 options=$5
    shift 5
    stamp=.1.3.6.1.2.1.99.1.1.1.7.1001
    mkfifo "$folder/snmp-requests"
    # shellcheck disable=SC2086
    "$wexq40" snmp -l "$folder/lock" -b "$program" $options <"$folder/snmp-requests" >"$folder/snmp-answers" &
    agent=$!
    exec 3>"$folder/snmp-requests"
    tries=0
    until grep -q '^timeticks$' "$folder/snmp-answers" || [ $tries -ge 100 ]; do
        printf 'get\n%s\n' $stamp >&3
        sleep 0.1
        tries=$((tries + 1))
    done
    printf 'get\n%s\n' "$@" >&3
    exec 3>&-
    wait $agent
    sed -e '/^NONE$/d' -e "/^$stamp\$/,+2d" "$folder/snmp-answers"
    rm -f "$folder/snmp-requests" "$folder/snmp-answers"
    exit
fi
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
calibration)
    # The module's own section found by its serial number; another module's section is ignored.
    printf '%s\n' 'humidity-offset = 1' '[WQ8]' 'temperature-offset = 5' '[WQ9]' 'temperature-offset = -0.5' \
        >"$work/calibration"
    chmod 644 "$work/calibration"
    # shellcheck disable=SC2086
    "$usbemu" --ready-at-once --serial WQ9 -- $json --calibration "$work/calibration" >"$work/a" ||
        echo "wex_usbemu ended with $?"
    outputs="$work/a"
    # The vapour of 50.6 % at 30.0 C kept at 29.5 C, plus 1 %, computed here by jq.
    es='def es(t): 6.112 * pow(10; 7.5 * t / (t + 237.7));'
    good="$es"' .temperature == 29.5 and ((50.6 * es(30.0) / es(29.5) + 1) - .humidity | fabs) <= 0.05 and
        .calibration.section == "WQ9" and .calibration.uncalibrated == {temperature: 30.0, humidity: 50.6, dewpoint: 18.6}'
    ;;
snmp)
    # The module's USB strings, from the emulator's sysfs, in its entPhysicalTable row; it has no serial number.
    row=.1.3.6.1.2.1.47.1.1.1.1
    "$usbemu" --ready-at-once -- sh "$0" ask-snmp "$wexq40" "$program" "$work" "" \
        "$row.11.1000" "$row.12.1000" "$row.13.1000" .1.3.6.1.2.1.99.1.1.1.4.1001 >"$work/answers" ||
        echo "wex_usbemu ended with $?"
    cat "$work/answers"
    printf '%s\n' "$row.11.1000" string "" "$row.12.1000" string WEX "$row.13.1000" string WEX-Q40 \
        .1.3.6.1.2.1.99.1.1.1.4.1001 integer 300 | cmp -s - "$work/answers"
    exit
    ;;
slowest)
    # 2 ms per transfer and the sensor's longest conversions: the defaults neither refuse nor cut short a reading.
    # shellcheck disable=SC2016
    "$usbemu" --maximum-conversion --latency-us 2000 -- sh -c '
        "$0" check -l "$1/lock" -b "$2" --max-age 0 >"$1/check"; echo "check $?" >>"$1/status"
        $3 --max-age 0 >"$1/a"
        sh "$4" ask-snmp "$0" "$2" "$1" "--max-age 0" .1.3.6.1.2.1.99.1.1.1.4.1001 >"$1/snmp"' \
        "$wexq40" "$work" "$program" "$json" "$0" || echo "wex_usbemu ended with $?"
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
    # The sensors' entPhySensorOperStatus after the reading: unavailable (2) when the module is gone,
    # nonoperational (3) when it answered wrong.
    for options in "--vanish-after 120:2" "--bad-crc temp:3"; do
        # shellcheck disable=SC2086
        # Its own reading, not the failure the rows above left beside the lock.
        "$usbemu" --ready-at-once ${options%:*} -- sh "$0" ask-snmp "$wexq40" "$program" "$work" "-r 0 --max-age 0" \
            .1.3.6.1.2.1.99.1.1.1.5.1001 >"$work/out" 2>&1
        if ! grep -qx "${options#*:}" "$work/out"; then
            echo "== ${options%:*}, snmp: not status ${options#*:}:"
            cat "$work/out"
            status=1
        fi
    done
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
