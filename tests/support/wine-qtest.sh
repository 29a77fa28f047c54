#!/bin/sh
# Runs one Qt Test executable under Wine and prints its results. Without a
# console Qt Test hands its lines to the debugger (OutputDebugString), where
# CTest never sees them, so they go to a file beside the executable instead.
#   wine-qtest.sh WINE TEST.EXE [ARGUMENTS...]
wine=$1 exe=$2
shift 2
results="$exe.results.txt"
rm -f "$results"
"$wine" "$exe" -o "Z:$results,txt" "$@"
status=$?
cat "$results" 2>/dev/null || echo "wine-qtest.sh: $exe wrote no results (exit status $status)"
exit "$status"
