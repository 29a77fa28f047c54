#!/usr/bin/env bash
# Builds for Windows with MinGW-w64 and checks the result under Wine on a
# private Xvfb (installs what is missing first).
#   scripts/windows-test.sh            the key-injection library and vanterel-keys
#   scripts/windows-test.sh --with-qt  also the program and its tests, against
#       the Qt for Windows that scripts/windows-qt.sh builds (about 25 minutes
#       the first time, then from its cache); then the program itself is
#       started, its window looked for, and the sample panel fetched over
#       loopback and compared byte for byte with what the Linux build sends;
#       then its installer and portable zip are made and checked
#       (scripts/package-windows.sh, scripts/windows-install-test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
vanterel_install cmake make g++-mingw-w64-x86-64 wine64 xvfb

cmake --preset windows-inject
cmake --build --preset windows-inject
ctest --preset windows-inject

[ "${1:-}" = --with-qt ] || exit 0
vanterel_install ninja-build python3 x11-utils
VANTEREL_WINDOWS_QT=$(bash scripts/windows-qt.sh | tail -n 1)
export VANTEREL_WINDOWS_QT
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake --preset windows "${launcher[@]}"
cmake --build --preset windows

# One throw-away Wine prefix and one private Xvfb for the tests and the
# program; everything started here ends with the script.
. scripts/wine-session.sh
tmp=$(mktemp -d)
linux= program=
cleanup() { # every step, whatever the one before it returned (set -e holds in here too)
    [ -z "$linux" ] || kill "$linux" 2>/dev/null || true
    wine_session_stop "$tmp"
    rm -rf "$tmp"
}
trap cleanup EXIT
wine_session_start "$tmp" || { echo "$wine_session_problem" >&2; exit 1; }

ctest --preset windows

# --- The program under Wine ---------------------------------------------------
# Each build runs from a folder of its own with the sample panel and bindings,
# on a port of its own.
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
stage() { # FOLDER EXECUTABLE PORT
    mkdir -p "$1"
    cp -r htdocs "$1/"
    cp "$2" "$1/"
    sed "s/^PORT\x1e[0-9]*/PORT\x1e$3/" keys.sample.dat >"$1/keys.dat"
    # A link out of the served folder, to a file no answer may carry.
    echo "secret $1" >"$1/secret.htm"
    ln -s "$1/secret.htm" "$1/htdocs/out.htm"
}
wait_listening() { # LOG
    for _ in $(seq 600); do
        grep -q "Server listening on address" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "The program did not start listening:" >&2
    cat "$1" >&2
    return 1
}
fetch() { # PORT PATH: every byte of the answer, header included, until the server closes
    python3 -c 'import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20)
s.sendall(b"GET " + sys.argv[2].encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
while chunk := s.recv(65536):
    sys.stdout.buffer.write(chunk)' "$1" "$2"
}

win_port=$(free_port)
stage "$tmp/win" build-windows/vanterel.exe "$win_port"
qt_bin="Z:${VANTEREL_WINDOWS_QT//\//\\}\\bin"
gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
pthread_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")
export WINEPATH="$qt_bin;Z:${gcc_dir//\//\\};Z:${pthread_dir//\//\\}"
export QT_PLUGIN_PATH="Z:${VANTEREL_WINDOWS_QT//\//\\}\\plugins"
(cd "$tmp/win" && exec "$wine" vanterel.exe >"$tmp/win.log" 2>&1) &
program=$!
wait_listening "$tmp/win.log"
echo "Under Wine: $(grep -m1 'Server listening' "$tmp/win.log")"
# Its main window, by title, on the private X server.
for _ in $(seq 100); do
    xwininfo -root -tree 2>/dev/null | grep -q '"Vanterel' && break
    sleep 0.1
done
xwininfo -root -tree | grep -m1 '"Vanterel' || { echo "No Vanterel window on the X server" >&2; exit 1; }

# The same requests to the Linux build, where there is one (scripts/test.sh makes it).
refused=(/CON /img/nul.gif /index.htm. "/index.htm%20" "/index.htm::\$DATA" /out.htm "/C:/windows/win.ini")
paths=(/ /index.htm /nothing.htm "/index.htm?FIRE" /img/../index.htm "${refused[@]}")
failed=0
# Names Windows reads otherwise, and the link out: 404, and nothing of the secret.
for path in "${refused[@]}"; do
    answer=$(fetch "$win_port" "$path" | tr -d '\0') || true
    if [[ $answer == "HTTP/1.1 404 "* && $answer != *secret* ]]; then
        echo "404 under Wine: GET $path"
    else
        echo "NOT refused under Wine: GET $path: $(head -n 1 <<<"$answer")"
        failed=1
    fi
done
if [ -x build/vanterel ]; then
    linux_port=$(free_port)
    stage "$tmp/linux" build/vanterel "$linux_port"
    (cd "$tmp/linux" && QT_QPA_PLATFORM=offscreen exec ./vanterel >"$tmp/linux.log" 2>&1) &
    linux=$!
    wait_listening "$tmp/linux.log"
    for path in "${paths[@]}"; do
        fetch "$win_port" "$path" >"$tmp/win.out" || true
        fetch "$linux_port" "$path" | sed "s/:$linux_port\//:$win_port\//" >"$tmp/linux.out" || true
        if cmp -s "$tmp/win.out" "$tmp/linux.out"; then
            echo "same bytes as on Linux ($(wc -c <"$tmp/win.out") bytes): GET $path"
        else
            echo "DIFFERENT from Linux: GET $path"
            diff <(od -c "$tmp/linux.out") <(od -c "$tmp/win.out") | head -n 20
            failed=1
        fi
    done
else
    echo "No Linux build in build/ to compare with; only the panel's own bytes are checked"
    fetch "$win_port" /index.htm | tail -c "$(wc -c <htdocs/index.htm)" | cmp - htdocs/index.htm
fi

# A request's command at a Win32 window of the tests' own, which takes the
# foreground: FIRE is Ctrl+A, sent by scan code.
keycheck=build-windows/tests/inject/wine/keycheck.exe
("$wine" "$keycheck" --expect "down 1D 0 *" "down 1E 0 2" "up 1E 0 2" "up 1D 0 *" >"$tmp/keycheck.log" 2>&1
    echo "exit $?" >>"$tmp/keycheck.log") &
keys=$!
for _ in $(seq 300); do
    grep -q '^ready' "$tmp/keycheck.log" 2>/dev/null && break
    sleep 0.1
done
fetch "$win_port" "/index.htm?FIRE" >/dev/null
wait "$keys" || true
if grep -q '^exit 0' "$tmp/keycheck.log"; then
    echo "GET /index.htm?FIRE reached a Win32 window as Ctrl+A by scan code (1D, 1E)"
else
    echo "GET /index.htm?FIRE did not reach the Win32 window as Ctrl+A:" >&2
    cat "$tmp/keycheck.log" >&2
    failed=1
fi

# Closing the window (Wine's taskkill without /f sends it the close message)
# runs the shut-down, which writes keys.dat.
before=$(stat -c %Y.%s "$tmp/win/keys.dat")
sleep 1 # keys.dat's time stamp is in whole seconds on some file systems
WINEDEBUG=-all "$wine" taskkill /im vanterel.exe >/dev/null 2>&1 || true
for _ in $(seq 300); do
    kill -0 "$program" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$program" 2>/dev/null; then
    echo "The program did not end when its window was closed" >&2
    failed=1
elif [ "$(stat -c %Y.%s "$tmp/win/keys.dat")" = "$before" ]; then
    echo "Closing the window did not save keys.dat" >&2
    failed=1
else
    echo "Closing the window saved keys.dat and ended the program"
fi

# The end of the Windows session (log-off, shut-down): Wine sends the
# session's end messages, after which the program is ended whatever it does.
(cd "$tmp/win" && exec "$wine" vanterel.exe >"$tmp/win.log" 2>&1) &
program=$!
wait_listening "$tmp/win.log"
before=$(stat -c %Y.%s "$tmp/win/keys.dat")
sleep 1
WINEDEBUG=-all "$wine" wineboot --end-session >/dev/null 2>&1 || true
for _ in $(seq 300); do
    kill -0 "$program" 2>/dev/null || break
    sleep 0.1
done
if [ "$(stat -c %Y.%s "$tmp/win/keys.dat")" = "$before" ]; then
    echo "The end of the session did not save keys.dat" >&2
    failed=1
else
    echo "The end of the session (wineboot --end-session) saved keys.dat"
fi

# --- The installer and the portable zip ------------------------------------------
# In a Wine prefix and on an X server of their own, with nothing of this
# script's environment: the installed program finds only the DLLs it ships.
packages=$(bash scripts/package-windows.sh | tail -n 2)
zip=$(head -n 1 <<<"$packages") installer=$(tail -n 1 <<<"$packages")
echo "Installer $(basename "$installer"): $(stat -c %s "$installer") bytes; zip $(basename "$zip"): $(stat -c %s "$zip") bytes"
env -u WINEPREFIX -u WINEPATH -u QT_PLUGIN_PATH -u DISPLAY \
    bash scripts/windows-install-test.sh "$installer" "$zip" || failed=1
exit "$failed"
