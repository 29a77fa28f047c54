#!/usr/bin/env bash
# Runs keycheck.exe under Wine on a private Xvfb, in a throw-away Wine prefix;
# everything it starts ends with it. Exits 77 (a skip, for CTest) with the
# reason when Wine cannot run here.
#   keycheck.sh KEYCHECK.EXE VANTEREL-KEYS.EXE
set -u
skip() { echo "SKIP: $*"; exit 77; }
wine=$(command -v wine64 || command -v wine || ls /usr/lib/wine/wine64 2>/dev/null) \
    || skip "Wine is not installed (Debian package wine64)"
command -v Xvfb >/dev/null || skip "Xvfb is not installed (Debian package xvfb)"
tmp=$(mktemp -d) xvfb=
export WINEPREFIX="$tmp/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" # no installers
trap '"$(dirname "$wine")/wineserver" -k 2>/dev/null || wineserver -k 2>/dev/null; kill $xvfb 2>/dev/null; rm -rf "$tmp"' EXIT
mkfifo "$tmp/display" # Xvfb picks a free display and writes its number once it takes clients
Xvfb -displayfd 3 -nolisten tcp -screen 0 640x480x24 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb=$!
read -r -t 30 number <"$tmp/display" || skip "Xvfb did not start: $(tail -n 3 "$tmp/xvfb.log")"
export DISPLAY=":$number"
timeout 300 "$wine" wineboot --init >"$tmp/boot.log" 2>&1 || skip "Wine cannot start here: $(tail -n 3 "$tmp/boot.log")"
output=$(timeout 300 "$wine" "$1" "Z:${2//\//\\}" 2>&1)
status=$?
echo "$output"
grep -q "^Key presses through SendInput" <<<"$output" || { echo "keycheck.sh: vanterel-keys did not use SendInput"; exit 1; }
exit "$status"
