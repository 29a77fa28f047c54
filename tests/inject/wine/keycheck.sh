#!/usr/bin/env bash
# Runs keycheck.exe under Wine on a private X server, in a Wine prefix of its
# own in a temporary folder; everything it starts ends with it. Exits 77
# (a skip, for CTest) with the reason when Wine cannot run here.
#   keycheck.sh KEYCHECK.EXE KEYTARGET.EXE VANTEREL-KEYS.EXE
set -u
skip() { echo "SKIP: $*"; exit 77; }

wine=$(command -v wine64 || command -v wine || ls /usr/lib/wine/wine64 2>/dev/null) \
    || skip "Wine is not installed (Debian package wine64)"
command -v Xvfb >/dev/null || skip "Xvfb is not installed (Debian package xvfb)"

tmp=$(mktemp -d)
xvfb=
cleanup() {
    WINEPREFIX="$tmp/prefix" "$(dirname "$wine")/wineserver" -k 2>/dev/null \
        || WINEPREFIX="$tmp/prefix" wineserver -k 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT

# Xvfb picks a free display itself and writes its number once it accepts clients.
mkfifo "$tmp/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 640x480x24 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb=$!
read -r -t 30 number <"$tmp/display" || skip "Xvfb did not start: $(tail -n 3 "$tmp/xvfb.log")"

export DISPLAY=":$number" WINEPREFIX="$tmp/prefix" WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko installers: they would wait for a click.
export WINEDLLOVERRIDES="mscoree=;mshtml="
timeout 300 "$wine" wineboot --init >"$tmp/boot.log" 2>&1 \
    || skip "Wine cannot start here: $(tail -n 3 "$tmp/boot.log")"

windows() { printf 'Z:%s' "${1//\//\\}"; }
output=$(timeout 300 "$wine" "$1" "$(windows "$2")" "$(windows "$3")" "$(windows "$tmp/record.txt")" 2>&1)
status=$?
echo "$output"
if ! grep -q "^Key presses through SendInput" <<<"$output"; then
    echo "keycheck.sh: vanterel-keys did not say it used SendInput"
    status=1
fi
exit "$status"
