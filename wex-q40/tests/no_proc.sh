#!/bin/sh
# Without /proc, wex-q40 cannot find wex_q40_test beside itself: it asks for -b
# and never runs a program of that name from the current folder. Needs a mount
# namespace (root) to hide /proc; skipped without one.
# usage: no_proc.sh WEX_Q40
set -u
wexq40=$1
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
unshare -m true 2>/dev/null || exit 77
printf '#!/bin/sh\ntouch %s/ran\necho "Temperature: 99.0C, 210.2F"\n' "$work" >"$work/wex_q40_test"
chmod 755 "$work/wex_q40_test"
cd "$work" || exit 1
status=0
for command in json check; do
    unshare -m sh -c 'umount -l /proc && exec "$@"' sh "$wexq40" $command -l "$work/lock" >"$work/out" 2>&1
    code=$?
    if [ -e "$work/ran" ] || [ $code -eq 0 ] || ! grep -q '/proc/self/exe cannot be read.*give the program with -b' "$work/out"; then
        echo "FAIL $command without /proc: status $code, $( [ -e "$work/ran" ] && echo "ran ./wex_q40_test")"
        cat "$work/out"
        status=1
    fi
done
[ $status -eq 0 ] && echo "without /proc: no program taken from the current folder"
exit $status
