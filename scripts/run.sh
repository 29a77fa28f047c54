#!/usr/bin/env bash
# Installs what is missing, builds Vanterel and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
vanterel_install $VANTEREL_BUILD_PACKAGES $VANTEREL_DISPLAY_PACKAGES

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTEREL_BUILD_TESTS=OFF
cmake --build build -j"$(nproc)" --target vanterel

port=80
if [ -f build/keys.dat ]; then
    p=$(tr '\r' '\n' < build/keys.dat | grep -ai '^port' | tail -n 1 | cut -d $'\x1e' -f 2 | tr -dc '0-9')
    [ -n "$p" ] && port=$p
fi
ip=$(hostname -I 2>/dev/null | awk '{print $1}')
echo "Vanterel: point a browser on your network at http://${ip:-127.0.0.1}:${port}/"
if [ "$port" -lt 1024 ] && [ "$(id -u)" -ne 0 ]; then
    echo "Port $port needs root or: sudo setcap cap_net_bind_service=+ep build/vanterel" >&2
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    # No desktop here: run on a private X server so that the window exists
    # and key presses have somewhere to go.
    echo "No display found: starting Vanterel on a virtual X server (Xvfb)."
    exec xvfb-run -a build/vanterel
fi
exec build/vanterel
