#!/usr/bin/env bash
# Taps over the live channel against a new connection per tap (bench/livebench.cpp), first on the
# loopback, then in a network namespace of its own whose loopback drops 5 % of packets (nftables,
# numgen random). Creates the namespace and its rules itself and removes them at the end, also when
# interrupted; skips the loss run with the reason where it cannot (no ip, no nft, not root).
#
#   bench/live.sh [--taps N] [--build DIR]
#
# Writes bench/results/<date>-live.md.
set -euo pipefail
cd "$(dirname "$0")/.."
TAPS=300
BUILD=build-bench
while [ $# -gt 0 ]; do
    case "$1" in
        --taps) TAPS=$2; shift ;;
        --build) BUILD=$2; shift ;;
        -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
        *) echo "bench/live.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done

if [ ! -x "$BUILD/bench/livebench" ] || [ "$BUILD" = build-bench ]; then
    echo "== building livebench in $BUILD/"
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >"$BUILD.log" 2>&1 || { tail -n 30 "$BUILD.log"; exit 1; }
    cmake --build "$BUILD" -j2 --target livebench >>"$BUILD.log" 2>&1 || { tail -n 30 "$BUILD.log"; exit 1; }
fi
BENCH=$PWD/$BUILD/bench/livebench
BUILD_TYPE=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$BUILD/CMakeCache.txt")

OUT=bench/results/$(date +%F)-live.md
LOSS_SKIP=
command -v ip >/dev/null || LOSS_SKIP="no 'ip' (Debian package iproute2)"
[ -z "$LOSS_SKIP" ] && ! command -v nft >/dev/null && LOSS_SKIP="no 'nft' (Debian package nftables)"
[ -z "$LOSS_SKIP" ] && [ "$(id -u)" -ne 0 ] && LOSS_SKIP="not root: a network namespace and its rules need root"

NS=vanterel-live-$$
cleanup() { [ -n "$LOSS_SKIP" ] || ip netns del "$NS" 2>/dev/null || true; }
trap cleanup EXIT INT TERM

echo "== loopback, $TAPS taps per path"
IDLE=$("$BENCH" --taps "$TAPS")
echo "$IDLE"
LOSS=
if [ -z "$LOSS_SKIP" ]; then
    echo "== namespace $NS, its loopback dropping 5 % of packets, $TAPS taps per path"
    ip netns add "$NS"
    ip -n "$NS" link set lo up
    ip netns exec "$NS" nft -f - <<'RULES'
table inet lossy {
    chain out {
        type filter hook output priority 0; policy accept;
        numgen random mod 100 < 5 drop
    }
}
RULES
    LOSS=$(ip netns exec "$NS" "$BENCH" --taps "$TAPS")
    echo "$LOSS"
else
    echo "== loss run skipped: $LOSS_SKIP"
fi

field() { sed -n "s/.*\b$2=\([^ ]*\).*/\1/p" <<<"$1"; }
row() { # run-name line
    local line=$2
    echo "| $1 | $(field "$line" path) | $(field "$line" key_p50) | $(field "$line" key_p99) | $(field "$line" key_max) | $(field "$line" ack_p50) | $(field "$line" ack_p99) | $(field "$line" ack_max) | $(field "$line" over500) | $(field "$line" doubles) | $(field "$line" reconnects) |"
}
{
    echo "# Live channel against a connection per tap ($(date +%F))"
    echo
    echo "bench/live.sh --taps $TAPS: the real server in the bench's process ($BUILD_TYPE build, $(nproc) cores, $(uname -r));"
    echo "\"key\" is tap to the command reaching the key path (the server's command runner, which hands it to the"
    echo "key thread), \"ack\" tap to the page's answer (a link's first response byte, the channel's \"ok <id>\")."
    echo "A channel tap unanswered for 1 s is sent again with its id on a new channel (the page's script does so after 2.5 s)."
    echo "Times in ms; \"> 0.5 s\" counts taps whose key or answer took longer; \"doubles\" presses beyond one per tap."
    echo
    echo "| run | path | key p50 | key p99 | key max | ack p50 | ack p99 | ack max | > 0.5 s | doubles | reconnects |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|"
    while read -r line; do row loopback "$line"; done <<<"$IDLE"
    if [ -n "$LOSS" ]; then
        while read -r line; do row "5 % loss" "$line"; done <<<"$LOSS"
    else
        echo
        echo "The loss run was skipped: $LOSS_SKIP."
    fi
} >"$OUT"
echo "== written to $OUT"
