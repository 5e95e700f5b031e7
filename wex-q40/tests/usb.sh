#!/bin/sh
# wex-q40 against the module emulated at the USB level.
# usage: usb.sh concurrent|killed|calibration|snmp WEX_USBEMU WEX_Q40 PROGRAM
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
    "$usbemu" -- sh -c "$json >$work/a & $json >$work/b; wait" || echo "wex_usbemu ended with $?"
    outputs="$work/a $work/b"
    ;;
killed)
    # Killed in the middle of the measurement, the sensor is left mid-frame; the retries read it again.
    "$usbemu" -- sh -c "timeout -s KILL 0.15 $program >/dev/null; $json >$work/a" || echo "wex_usbemu ended with $?"
    outputs="$work/a"
    ;;
calibration)
    # The module's own section found by its serial number; another module's section is ignored.
    printf '%s\n' 'humidity-offset = 1' '[WQ8]' 'temperature-offset = 5' '[WQ9]' 'temperature-offset = -0.5' \
        >"$work/calibration"
    chmod 644 "$work/calibration"
    "$usbemu" --serial WQ9 -- $json --calibration "$work/calibration" >"$work/a" || echo "wex_usbemu ended with $?"
    outputs="$work/a"
    # The vapour of 50.6 % at 30.0 C kept at 29.5 C, plus 1 %, computed here by jq.
    es='def es(t): 6.112 * pow(10; 7.5 * t / (t + 237.7));'
    good="$es"' .temperature == 29.5 and ((50.6 * es(30.0) / es(29.5) + 1) - .humidity | fabs) <= 0.05 and
        .calibration.section == "WQ9" and .calibration.uncalibrated == {temperature: 30.0, humidity: 50.6, dewpoint: 18.6}'
    ;;
snmp)
    # The module's USB strings, from the emulator's sysfs, in its entPhysicalTable row; it has no serial number.
    row=.1.3.6.1.2.1.47.1.1.1.1
    stamp=.1.3.6.1.2.1.99.1.1.1.7.1001
    mkfifo "$work/requests"
    "$usbemu" -- "$wexq40" snmp -l "$work/lock" -b "$program" <"$work/requests" >"$work/a" &
    agent=$!
    exec 3>"$work/requests"
    # The reading is taken beside the answers: its time stamp is asked for until it has one.
    tries=0
    until grep -q '^timeticks$' "$work/a" || [ $tries -ge 100 ]; do
        printf 'get\n%s\n' $stamp >&3
        sleep 0.1
        tries=$((tries + 1))
    done
    printf 'get\n%s\n' "$row.11.1000" "$row.12.1000" "$row.13.1000" .1.3.6.1.2.1.99.1.1.1.4.1001 >&3
    exec 3>&-
    wait $agent || echo "wex_usbemu ended with $?"
    sed -e '/^NONE$/d' -e "/^$stamp\$/,+2d" "$work/a" >"$work/answers"
    cat "$work/answers"
    printf '%s\n' "$row.11.1000" string "" "$row.12.1000" string WEX "$row.13.1000" string WEX-Q40 \
        .1.3.6.1.2.1.99.1.1.1.4.1001 integer 300 | cmp -s - "$work/answers"
    exit
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
