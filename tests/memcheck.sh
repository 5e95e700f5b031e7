#!/bin/sh
# Runs the program under valgrind memcheck against the virtual module and
# fails on any memory error or leak, or on an exit status other than expected.
# usage: memcheck.sh VALGRIND PROGRAM LIBRARY_DIR EXPECTED_STATUS [NAME=VALUE...]
set -u
valgrind=$1 program=$2 library_dir=$3 expected=$4
shift 4
log=$(mktemp)
trap 'rm -f "$log"' EXIT
env -i PATH=/usr/bin:/bin LD_LIBRARY_PATH="$library_dir" "$@" \
    "$valgrind" --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible --log-file="$log" "$program"
status=$?
cat "$log"
if [ "$status" -ne "$expected" ]; then
    echo "memcheck: exit status $status, expected $expected (99: valgrind found errors)"
    exit 1
fi
if [ -s "$log" ]; then
    echo "memcheck: valgrind reported the above"
    exit 1
fi
echo "memcheck: no errors, no leaks, status $status"
