#!/usr/bin/env bash
# The Windows installer and the portable zip as a user meets them, under Wine
# on a private Xvfb, in a Wine prefix made for the run:
#   scripts/windows-install-test.sh INSTALLER ZIP [--screenshot FILE]
# (scripts/package-windows.sh makes both). Installs silently and checks the
# files, the Start-menu entry, the uninstaller's registry key and the firewall
# command; starts the installed program, finds its window, fetches the sample
# panel, closes the window and checks that keys.dat was saved in
# %APPDATA%\Vanterel; uninstalls silently and checks that the program is gone
# and the user's files are not; then unpacks the zip, starts it and checks
# that it serves and keeps keys.dat beside itself. --screenshot saves a
# picture of the installed program's window. One line per step; exits non-zero
# at the first failure. Everything it starts ends with it.
set -euo pipefail

usage() {
    echo "usage: $0 INSTALLER ZIP [--screenshot FILE]" >&2
    exit 2
}
[ $# -eq 2 ] || [ $# -eq 4 ] || usage
installer=$(realpath "$1")
zip=$(realpath "$2")
shot=
if [ $# -eq 4 ]; then
    [ "$3" = --screenshot ] || usage
    shot=$(realpath -m "$4")
fi
[ -f "$installer" ] && [ -f "$zip" ] || usage
cd "$(dirname "$0")/.."

. scripts/deps.sh
vanterel_install wine64 xvfb x11-utils imagemagick unzip python3

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

. scripts/wine-session.sh
tmp=$(mktemp -d)
program=
cleanup() { # every step, whatever the one before it returned
    [ -z "$program" ] || kill "$program" 2>/dev/null || true
    wine_session_stop "$tmp"
    rm -rf "$tmp"
}
trap cleanup EXIT
wine_session_start "$tmp" || fail "$wine_session_problem"

# Windows paths as the programs see them, and where they are for this script.
winpath() { "$wine" winepath -u "$1" 2>/dev/null; }
appdata_win=$("$wine" cmd /c echo %APPDATA% 2>/dev/null | tr -d '\r')
appdata="$(winpath "$appdata_win")/Vanterel"
instdir_win='C:\Program Files\Vanterel'
instdir=$(winpath "$instdir_win")
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vanterel'

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# The samples' port becomes a free one, so that neither run needs port 80.
set_sample_port() { # FILE PORT
    sed -i "s/^PORT\x1e[0-9]*/PORT\x1e$2/" "$1"
    grep -q "^PORT"$'\x1e'"$2"$'\r'"\\?\$" "$1" || fail "no PORT record in $1"
}
wait_for() { # SECONDS COMMAND...: polls every tenth of a second
    local tries=$(($1 * 10))
    shift
    for _ in $(seq "$tries"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}
# The program's standard error, as Windows writes it: lines end in CR LF.
logged() { tr -d '\r' <"$1" | grep "$2" >/dev/null; } # LOG PATTERN
listening() { grep -q "Server listening on address" "$1" 2>/dev/null; }
start_program() { # EXECUTABLE LOG: directly, as a shortcut would, with no Qt of the build's on any path
    (cd "$tmp" && exec "$wine" "$1" >"$2" 2>&1) &
    program=$!
    wait_for 60 listening "$2" || fail "$1 did not start listening: $(cat "$2")"
}
check_panel() { # PORT WHO: the body of /index.htm, byte for byte the sample panel's
    python3 -c 'import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20)
s.sendall(b"GET /index.htm HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
while chunk := s.recv(65536):
    sys.stdout.buffer.write(chunk)' "$1" >"$tmp/answer" || fail "$2: GET /index.htm failed"
    python3 -c 'import sys
data = open(sys.argv[1], "rb").read()
head, _, body = data.partition(b"\r\n\r\n")
sys.exit(0 if head.startswith(b"HTTP/1.1 200 ") and body == open(sys.argv[2], "rb").read() else 1)' \
        "$tmp/answer" htdocs/index.htm ||
        fail "$2: GET /index.htm is not the sample panel: $(head -c 300 "$tmp/answer")"
    echo "$2: GET /index.htm over loopback: 200, the body byte for byte htdocs/index.htm ($(wc -c <htdocs/index.htm) bytes)"
}
gone() { ! kill -0 "$1" 2>/dev/null; }
close_program() { # KEYS_DAT WHO: the close message (taskkill without /f), then keys.dat is saved
    local before
    before=$(stat -c %y "$1")$(sha256sum <"$1")
    "$wine" taskkill /im vanterel.exe >/dev/null 2>&1 || true
    wait_for 30 gone "$program" || fail "$2: the program did not end when its window was closed"
    program=
    [ "$(stat -c %y "$1")$(sha256sum <"$1")" != "$before" ] || fail "$2: closing the window did not save $1"
    echo "$2: closing the window ended the program and saved keys.dat ($(stat -c %s "$1") bytes)"
}

# --- The installer --------------------------------------------------------------
# Silent (/S). Wine's process trace shows the command lines the installer
# starts, and Wine's netsh says what it did with them.
WINEDEBUG=-all,+process,fixme+netsh timeout 300 "$wine" "$installer" /S >"$tmp/install.log" 2>&1 ||
    fail "the installer failed: $(grep -v ':process:' "$tmp/install.log" | tail -n 5)"
for file in bin/vanterel.exe bin/vanterel-keys.exe bin/Qt6Core.dll bin/platforms/qwindows.dll \
    bin/libstdc++-6.dll share/vanterel/keys.sample.dat share/vanterel/htdocs/index.htm Uninstall.exe; do
    [ -f "$instdir/$file" ] || fail "installer: no $instdir_win\\${file//\//\\} after the installation"
done
echo "installer: installed silently into $instdir_win ($(find "$instdir" -type f | wc -l) files)"

shortcut=$(find "$WINEPREFIX/drive_c" -path '*/Start Menu/Programs/Vanterel/Vanterel.lnk' | head -n 1)
[ -n "$shortcut" ] || fail "installer: no Start-menu entry Vanterel\\Vanterel.lnk"
# A shell link keeps its target's path in the 8-bit or the UTF-16 code page.
tr -d '\0' <"$shortcut" | grep -aqF "$instdir_win\\bin\\vanterel.exe" ||
    fail "installer: the Start-menu entry does not start $instdir_win\\bin\\vanterel.exe"
echo "installer: Start-menu entry ${shortcut#"$WINEPREFIX/drive_c/"}, starting $instdir_win\\bin\\vanterel.exe"

"$wine" reg query "$uninstall_key" >"$tmp/reg.txt" 2>&1 || fail "installer: no registry key $uninstall_key"
grep -q 'UninstallString.*Uninstall\.exe' "$tmp/reg.txt" || fail "installer: $uninstall_key has no UninstallString"
echo "installer: $uninstall_key registered, $(grep -m1 -o 'DisplayName.*' "$tmp/reg.txt" | tr -d '\r' | tr -s ' \t' ' ')"

# Wine keeps no firewall: the trace shows that the command ran, and what
# Wine's netsh answered is shown as it is.
unescape() { sed -e 's/\\"/"/g' -e 's/\\\\/\\/g'; } # the trace's C escapes
add_rule=$(grep -o 'netsh\.exe advfirewall firewall add rule name=Vanterel .* enable=yes profile=private' \
    "$tmp/install.log" | head -n 1 | unescape || true)
[ -n "$add_rule" ] || fail "firewall: the installer did not run netsh advfirewall firewall add rule"
echo "firewall: the installer ran: $add_rule"
answer=$(grep -m1 'fixme:netsh.*L"add"' "$tmp/install.log" | sed 's/^[0-9a-f]*://' | unescape || true)
echo "firewall: whether the rule exists cannot be checked under Wine; its netsh ${answer:+answered: }${answer:-printed nothing}"

# --- The installed program -------------------------------------------------------
installed_port=$(free_port)
set_sample_port "$instdir/share/vanterel/keys.sample.dat" "$installed_port"
[ ! -e "$appdata" ] || fail "installed program: $appdata_win\\Vanterel exists before the first start"
start_program "$instdir_win\\bin\\vanterel.exe" "$tmp/installed.log"
logged "$tmp/installed.log" "^Files (keys.dat, Log.txt, htdocs) are in ${appdata_win//\\/\/}/Vanterel, \
the user's data folder; this start put the sample htdocs and keys.dat there$" ||
    fail "installed program: not the user's data folder, or no samples put there: $(cat "$tmp/installed.log")"
[ -f "$appdata/keys.dat" ] && [ -f "$appdata/htdocs/index.htm" ] || fail "installed program: no keys.dat and htdocs in $appdata"
echo "installed program: $(grep -m1 "Server listening" "$tmp/installed.log" | tr -d "\r"); files in $appdata_win\\Vanterel, samples put there at the first start"

window() { xwininfo -root -tree 2>/dev/null | grep -m1 '"Vanterel' >"$tmp/window.txt"; }
wait_for 30 window || fail "installed program: no Vanterel window on the X server"
echo "installed program: window $(grep -o '"Vanterel[^"]*"' "$tmp/window.txt")"
check_panel "$installed_port" "installed program"
# The window as the fetch left it: its event log shows the transfer.
window_id=$(awk '{ print $1 }' "$tmp/window.txt")
wait_for 10 grep -q "Finished Transfer" "$tmp/installed.log" || true
import -window "$window_id" -strip "$tmp/window.png" || fail "installed program: no screenshot of window $window_id"
echo "installed program: screenshot of the window, $(identify -format '%wx%h' "$tmp/window.png")"
if [ -n "$shot" ]; then
    cp "$tmp/window.png" "$shot"
    echo "installed program: screenshot saved as $shot ($(stat -c %s "$shot") bytes)"
fi
[ ! -e "$instdir/bin/keys.dat" ] && [ ! -e "$instdir/bin/Log.txt" ] ||
    fail "installed program: wrote files beside itself in $instdir_win\\bin"
close_program "$appdata/keys.dat" "installed program"

# --- The uninstaller ---------------------------------------------------------------
# It copies itself to a temporary folder, starts that copy and returns at once:
# the program folder going away is the sign that it has done its work.
WINEDEBUG=-all,+process,fixme+netsh "$wine" "$instdir_win\\Uninstall.exe" /S >"$tmp/uninstall.log" 2>&1 ||
    fail "the uninstaller failed: $(grep -v ':process:' "$tmp/uninstall.log" | tail -n 5)"
wait_for 60 test ! -e "$instdir" || fail "uninstaller: $instdir_win is still there: $(find "$instdir" | head -n 20)"
! "$wine" reg query "$uninstall_key" >/dev/null 2>&1 || fail "uninstaller: $uninstall_key is still there"
[ -f "$appdata/keys.dat" ] && [ -f "$appdata/htdocs/index.htm" ] || fail "uninstaller: the user's files in $appdata went"
echo "uninstaller: removed $instdir_win and its registry key, kept $appdata_win\\Vanterel ($(find "$appdata" -type f | wc -l) files)"
wait_for 30 grep -q 'netsh\.exe advfirewall firewall delete rule name=Vanterel' "$tmp/uninstall.log" ||
    fail "firewall: the uninstaller did not run netsh advfirewall firewall delete rule"
echo "firewall: the uninstaller ran: netsh.exe advfirewall firewall delete rule name=Vanterel"

# --- The portable zip ----------------------------------------------------------------
mkdir "$tmp/portable"
unzip -q "$zip" -d "$tmp/portable"
exe=$(find "$tmp/portable" -maxdepth 2 -name vanterel.exe | head -n 1)
[ -n "$exe" ] || fail "portable: no vanterel.exe in $zip"
folder=$(dirname "$exe")
unpacked=$(find "$folder" -type f | wc -l)
[ ! -e "$folder/keys.dat" ] || fail "portable: the zip holds a keys.dat, which would replace the user's when unpacked again"
portable_port=$(free_port)
set_sample_port "$folder/keys.sample.dat" "$portable_port"
appdata_before=$(find "$appdata" -type f -printf '%p %T@\n' | sort)
start_program "$exe" "$tmp/portable.log"
logged "$tmp/portable.log" "^Files (keys.dat, Log.txt, htdocs) are in .*, beside the program; \
this start put the sample keys.dat there$" || fail "portable: not its own folder: $(cat "$tmp/portable.log")"
[ -f "$folder/keys.dat" ] || fail "portable: no keys.dat beside the program"
echo "portable: unpacked $unpacked files; $(grep -m1 "Server listening" "$tmp/portable.log" | tr -d "\r"); made keys.dat beside itself"
check_panel "$portable_port" "portable"
close_program "$folder/keys.dat" "portable"
[ "$(find "$appdata" -type f -printf '%p %T@\n' | sort)" = "$appdata_before" ] ||
    fail "portable: it changed files in $appdata_win\\Vanterel"
echo "portable: left $appdata_win\\Vanterel as it was"
echo "windows-install-test: all checks passed"
