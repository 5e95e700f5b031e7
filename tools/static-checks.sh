#!/bin/sh
# clang-tidy (.clang-tidy) and cppcheck over the project's own sources.
# usage: tools/static-checks.sh BUILD_DIR   (configured with CMAKE_EXPORT_COMPILE_COMMANDS=ON)
set -eu
build=$1
top=$(cd "$(dirname "$0")/.." && pwd)
# The project's own folders: clang-tidy checks their sources and, through the header filter, their headers.
sources="$top/(driver|d2xx|app|common|sensor_model|virtual_module|ftdi_backend|usbemu|tests|testsupport|wex-q40|bench|fuzz)/"

echo "== clang-tidy"
# GCC's default standard is C++17, so the compile commands carry no -std flag for clang-tidy to see.
run-clang-tidy-14 -p "$build" -quiet -extra-arg=-std=c++17 -header-filter="$sources" "$sources" >"$build/clang-tidy.log" 2>&1 || {
    grep -E 'error:|warning:' "$build/clang-tidy.log" | sort -u
    echo "clang-tidy found problems"
    exit 1
}
echo "clang-tidy: clean"

echo "== cppcheck"
cppcheck --project="$build/compile_commands.json" --library=googletest --library=posix \
    --enable=warning,performance,portability --inline-suppr --suppress=missingIncludeSystem \
    --std=c++17 --error-exitcode=1 -q -j2 -i"$build"
echo "cppcheck: clean"
