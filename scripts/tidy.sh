#!/usr/bin/env bash
# Runs clang-tidy with the committed .clang-tidy over the program's own sources
# (app, common, config, http, inject, keys; not tests, bench, fuzz or tools),
# two files at a time, and fails on any warning. Pinned to Debian 12's
# clang-tidy 14: another version has other checks and finds other things.
#
#   scripts/tidy.sh [BUILD_DIR]     (default build, as scripts/test.sh makes it)
#
# The files and their flags come from BUILD_DIR/compile_commands.json, so only
# what this platform compiles is checked; a build folder configured without
# CMAKE_EXPORT_COMPILE_COMMANDS is configured again with it (nothing is built).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${1:-build}
CLANG_TIDY="${CLANG_TIDY:-clang-tidy-14}"
JOBS="${TIDY_JOBS:-2}"
FOLDERS='app|common|config|http|inject|keys'

version="$("$CLANG_TIDY" --version 2>&1 || true)"
case "$version" in
    *" version 14."*) ;;
    *) echo "tidy.sh: wants clang-tidy 14 (Debian 12's clang-tidy), found: $version" >&2; exit 2 ;;
esac
if [ ! -f "$BUILD/compile_commands.json" ]; then
    if [ ! -f "$BUILD/CMakeCache.txt" ]; then
        echo "tidy.sh: $BUILD is not a configured build folder (scripts/test.sh makes build/)" >&2
        exit 2
    fi
    cmake -S . -B "$BUILD" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
fi

# Our sources that this build compiles, from the compilation database.
mapfile -t files < <(grep -o '"file": "[^"]*"' "$BUILD/compile_commands.json" | sed 's/^"file": "//; s/"$//' \
                         | grep -E "^$ROOT/($FOLDERS)/" | sort -u)
if [ ${#files[@]} -eq 0 ]; then
    echo "tidy.sh: no sources of $ROOT in $BUILD/compile_commands.json" >&2
    exit 2
fi

start=$SECONDS
# Each file's findings are printed whole once it is done, so that the two
# running at once never interleave their lines.
status=0
printf '%s\0' "${files[@]}" | xargs -0 -n1 -P"$JOBS" sh -c '
    out=$("$0" -p "$1" --quiet --header-filter="$2" "$3" 2>&1) && exit 0
    printf "%s\n" "$out"
    exit 1' "$CLANG_TIDY" "$BUILD" "^$ROOT/($FOLDERS)/" || status=$?
seconds=$((SECONDS - start))
if [ $status -ne 0 ]; then
    echo "tidy: findings above (${#files[@]} files, ${seconds} s); fix them, or say in .clang-tidy why a check goes" >&2
    exit 1
fi
echo "tidy: ${#files[@]} files, no findings (${seconds} s)"
