#!/usr/bin/env bash
# Runs keycheck.exe under Wine on a private Xvfb, in a throw-away Wine prefix;
# everything it starts ends with it. Exits 77 (a skip, for CTest) with the
# reason when Wine cannot run here.
#   keycheck.sh KEYCHECK.EXE VANTEREL-KEYS.EXE
set -u
skip() { echo "SKIP: $*"; exit 77; }
. "$(dirname "$0")/../../../scripts/wine-session.sh"
tmp=$(mktemp -d)
trap 'wine_session_stop "$tmp"; rm -rf "$tmp"' EXIT
wine_session_start "$tmp" || skip "$wine_session_problem"
output=$(timeout 300 "$wine" "$1" "Z:${2//\//\\}" 2>&1)
status=$?
echo "$output"
grep -q "^Key presses through SendInput" <<<"$output" || { echo "keycheck.sh: vanterel-keys did not use SendInput"; exit 1; }
exit "$status"
