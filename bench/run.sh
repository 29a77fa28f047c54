#!/usr/bin/env bash
# Benchmarks of Vanterel: command latency, connection rate against nginx,
# paced transfers, memory per connection, start-up and bulk loading, the
# event log, and soak runs (peer resets, slow readers, descriptors running
# out, saves killed part-way, a failing key backend). Not part of the test run.
#
#   bench/run.sh [--quick] [--commands N] [--seconds S] [--keep]
#
#   --quick       a short run (200 commands, 2 s per rate run, fewer repeats)
#   --commands N  commands per latency series (default 2000, quick 200)
#   --seconds S   seconds of connection-rate load per server and file, in
#                 rounds that alternate between the servers (default 8, quick 2)
#   --keep        keep the temporary folder (logs, raw latencies) at the end
#
# It installs what is missing (Debian packages; as root, else it prints the
# sudo command), builds a Release binary in build-bench/, starts everything it
# needs on loopback by itself (the program in a folder of its own, nginx with
# one worker, a private Xvfb), prints a table, writes it to
# bench/results/<date>.md with a latency plot bench/results/<date>.png, and
# stops everything it started, also when interrupted. A full run takes about
# ten minutes on two cores once built.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

QUICK=0
COMMANDS=
SECONDS_PER_RUN=
KEEP=0
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) QUICK=1 ;;
        --commands) COMMANDS=$2; shift ;;
        --seconds) SECONDS_PER_RUN=$2; shift ;;
        --keep) KEEP=1 ;;
        -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
        *) echo "bench/run.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done
if [ "$QUICK" = 1 ]; then
    : "${COMMANDS:=200}" "${SECONDS_PER_RUN:=2}"
    START_RUNS=3; CONFIG_RUNS=5; SINGLE_RUNS=1; EVENTLOG_LINES=5000; IDLE_CONNECTIONS=10000; RATE_ROUNDS=2
    SAVE_KILLS=50
else
    : "${COMMANDS:=2000}" "${SECONDS_PER_RUN:=8}"
    START_RUNS=7; CONFIG_RUNS=9; SINGLE_RUNS=3; EVENTLOG_LINES=20000; IDLE_CONNECTIONS=10000; RATE_ROUNDS=4
    SAVE_KILLS=150
fi
CLIENTS=64
DOWNLOADS_DURING_COMMANDS=32
BIG=8388608
RESET_CLIENTS=1000
SLOW_READERS=32
STROKES=10000
# The open-file limit of the program whose descriptors run out.
SOAK_FD_LIMIT=256

# ------------------------------------------------------------------ set-up
. scripts/deps.sh
# nginx: on Debian 12 the package "nginx" holds the server itself (nstat
# comes with iproute2, taskset with util-linux).
vanterel_install $VANTEREL_BUILD_PACKAGES $VANTEREL_DISPLAY_PACKAGES nginx gnuplot-nox xdotool iproute2 util-linux strace

BUILD=$ROOT/build-bench
echo "== building (Release) in build-bench/"
mkdir -p "$BUILD"
if ! cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DVANTEREL_BUILD_TESTS=OFF >"$BUILD/bench-build.log" 2>&1 \
    || ! cmake --build "$BUILD" -j2 --target vanterel loadgen keylat startbench configbench eventlog_bench soak \
        >>"$BUILD/bench-build.log" 2>&1; then
    tail -n 40 "$BUILD/bench-build.log" >&2
    echo "bench/run.sh: the build failed (whole log: build-bench/bench-build.log)" >&2
    exit 1
fi
BIN=$BUILD/bench
LOADGEN=$BIN/loadgen

# Connections of our own and the program's inherit this limit.
hard=$(ulimit -Hn)
[ "$hard" = unlimited ] && hard=65536
ulimit -n "$hard"

WORK=$(mktemp -d /tmp/vanterel-bench.XXXXXX)
chmod 755 "$WORK" # nginx's worker reads the files as an unprivileged user
PIDS=()
cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${PIDS[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    done
    if [ "$KEEP" = 1 ]; then echo "Kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'echo "bench/run.sh: stopped at line $LINENO: $BASH_COMMAND" >&2' ERR
trap 'exit 130' INT TERM

# Waits until something listens on 127.0.0.1:port (at most 20 s).
wait_port() {
    local port=$1
    for _ in $(seq 200); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    echo "bench/run.sh: nothing listens on port $port" >&2
    return 1
}

# step CMD...: runs one bounded measurement and prints its result line; a
# measurement that fails says so in its line instead of ending the run.
step() {
    local out status=0
    out=$("$@") || status=$?
    if [ "$status" != 0 ]; then
        echo "bench/run.sh: $(basename "$3") ended with status $status" >&2
        out="$out failed=$status"
    fi
    echo "$out"
}
# field LINE KEY: the value of KEY=value in a result line.
field() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p" | head -n 1; }
# calc EXPR: floating-point arithmetic.
calc() { awk "BEGIN { printf \"%.6g\", $1 }" 2>/dev/null || echo 0; }
# verdict EXPR: "met" when the awk condition holds, else "**missed**".
verdict() { if awk "BEGIN { exit !($1) }" 2>/dev/null; then echo met; else echo "**missed**"; fi; }
# Machine-wide TCP counters (every process of this network namespace).
listen_drops() { nstat -az TcpExtListenOverflows 2>/dev/null | awk '/ListenOverflows/ { n = $2 } END { print n + 0 }'; }

# ---------------------------------------------------------- private X server
mkfifo "$WORK/displayfd"
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 320x240x24 3>"$WORK/displayfd" 2>"$WORK/xvfb.log" &
XVFB_PID=$!
PIDS+=("$XVFB_PID")
read -r -t 20 display_number <"$WORK/displayfd" || { echo "bench/run.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display_number"
unset WAYLAND_DISPLAY
echo "== private X server on $DISPLAY"

# ------------------------------------------------------------- the program
# Its folder holds the executable, keys.dat and htdocs; the document root
# is shared with nginx.
PROG=$WORK/prog
mkdir -p "$PROG/htdocs"
cp "$BUILD/vanterel" "$PROG/"
head -c 1024 /dev/urandom >"$PROG/htdocs/1k.htm"
head -c "$BIG" /dev/urandom >"$PROG/htdocs/big.zip"
chmod 755 "$PROG" "$PROG/htdocs"
chmod 644 "$PROG/htdocs/"*
PORT=$("$LOADGEN" freeport)

write_keys_dat() { printf 'PORT\x1e%s\r\nkey\x1eFIRE\x1e30\x1e2\x1e0\x1e0\r\n' "$2" >"$1/keys.dat"; }

PROG_PID=
# start_program [OPEN-FILE-LIMIT]
start_program() {
    write_keys_dat "$PROG" "$PORT"
    # Offscreen window: the keys still go through XTest on $DISPLAY.
    if [ -n "${1:-}" ]; then
        (ulimit -n "$1" && exec env QT_QPA_PLATFORM=offscreen "$PROG/vanterel") >/dev/null 2>"$PROG/stderr.log" &
    else
        QT_QPA_PLATFORM=offscreen "$PROG/vanterel" >/dev/null 2>"$PROG/stderr.log" &
    fi
    PROG_PID=$!
    PIDS+=("$PROG_PID")
    for _ in $(seq 200); do
        grep -q 'Server listening on address' "$PROG/stderr.log" 2>/dev/null && break
        kill -0 "$PROG_PID" 2>/dev/null || break
        sleep 0.1
    done
    if ! grep -q 'Server listening on address' "$PROG/stderr.log"; then
        cat "$PROG/stderr.log" >&2
        echo "bench/run.sh: the program did not start listening" >&2
        exit 1
    fi
    grep -q 'Key presses through XTest' "$PROG/stderr.log" || { cat "$PROG/stderr.log" >&2; exit 1; }
}
stop_program() {
    kill -TERM "$PROG_PID" 2>/dev/null || true
    local status=0
    wait "$PROG_PID" || status=$?
    [ "$status" = 0 ] || echo "bench/run.sh: the program exited with status $status" >&2
    PROG_EXIT=$status
}

# ------------------------------------------------------------------- nginx
NGINX=$WORK/nginx
NGPORT=$("$LOADGEN" freeport)
mkdir -p "$NGINX/tmp"
cat >"$NGINX/nginx.conf" <<EOF
# One worker, no access log, and every connection closed after its response,
# as the program does, so that both serve one request per connection.
worker_processes 1;
daemon off;
pid $NGINX/nginx.pid;
error_log $NGINX/error.log warn;
events { worker_connections 16384; }
http {
    access_log off;
    # A missing file is no error worth a line in the error log: the program
    # writes nothing for it either.
    log_not_found off;
    keepalive_timeout 0;
    server_tokens off;
    client_body_temp_path $NGINX/tmp/body;
    proxy_temp_path $NGINX/tmp/proxy;
    fastcgi_temp_path $NGINX/tmp/fastcgi;
    uwsgi_temp_path $NGINX/tmp/uwsgi;
    scgi_temp_path $NGINX/tmp/scgi;
    types { text/html htm; application/zip zip; }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$NGPORT;
        root $PROG/htdocs;
    }
}
EOF

# ----------------------------------------------------------------- results
mkdir -p bench/results
STAMP=$(date +%F)
[ "$QUICK" = 1 ] && STAMP="$STAMP-quick"
RESULTS=bench/results/$STAMP.md
PLOT=bench/results/$STAMP.png
ROWS=()
RAW=()
row() { ROWS+=("| $1 | $2 | $3 | $4 |"); printf '  %-44s %-46s %-18s %s\n' "$1" "$2" "$3" "$4"; }
raw() { RAW+=("$1: $2"); }

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
BEGIN_TIME=$(date +%s)
echo "== start-up and bulk loading (B5)"
START_DIR=$WORK/start
mkdir -p "$START_DIR/htdocs"
cp "$BUILD/vanterel" "$START_DIR/"
write_keys_dat "$START_DIR" "$("$LOADGEN" freeport)"
start_line=$(QT_QPA_PLATFORM=offscreen step timeout 120 "$BIN/startbench" --exe "$START_DIR/vanterel" --runs "$START_RUNS" 2>>"$WORK/startbench.log")
raw "start-up" "$start_line"
config_line=$(step timeout 120 "$BIN/configbench" --runs "$CONFIG_RUNS")
raw "keys.dat and key-file import" "$config_line"

echo "== memory per idle connection (B4)"
start_program
idle_line=$(step timeout 300 "$LOADGEN" idle --port "$PORT" --pid "$PROG_PID" --connections "$IDLE_CONNECTIONS" --probes 50)
raw "idle connections" "$idle_line"
stop_program
raw "program exit status after the idle connections" "$PROG_EXIT"
# Every slot ever made stays, so the rest runs on a fresh start.
start_program

echo "== command latency (B1): $COMMANDS commands each"
# After each command the bench fakes the same stroke through XTEST itself:
# the floor that the X server and the machine's scheduling set, measured
# under the same conditions as the commands.
keylat_idle=$(step timeout 900 "$BIN/keylat" http --port "$PORT" --count "$COMMANDS" --floor 1 \
    --latencies "$WORK/b1-idle.txt" --floor-latencies "$WORK/b1-xtest.txt")
raw "commands, idle" "$keylat_idle"
# The same with the program, the X server and the bench on one CPU: no
# wake-up has to cross to another CPU. On a virtual machine waking an idle
# CPU can take milliseconds; this series tells that cost from the program's.
keylat_pinned="n/a (one CPU)"
if [ "$(nproc)" -gt 1 ] && command -v taskset >/dev/null; then
    cpu_last=$(( $(nproc) - 1 ))
    taskset -a -p -c "$cpu_last" "$PROG_PID" >/dev/null
    taskset -a -p -c "$cpu_last" "$XVFB_PID" >/dev/null
    keylat_pinned=$(step taskset -c "$cpu_last" timeout 900 "$BIN/keylat" http --port "$PORT" --count "$COMMANDS" \
        --floor 1 --latencies "$WORK/b1-pinned.txt")
    taskset -a -p -c "0-$cpu_last" "$PROG_PID" >/dev/null
    taskset -a -p -c "0-$cpu_last" "$XVFB_PID" >/dev/null
fi
raw "commands, idle, all on one CPU" "$keylat_pinned"
keylat_xdotool=$(step timeout 900 "$BIN/keylat" xdotool --count "$COMMANDS" --latencies "$WORK/b1-xdotool.txt")
raw "xdotool key ctrl+a" "$keylat_xdotool"
"$LOADGEN" http --port "$PORT" --path /big.zip --length "$BIG" --clients "$DOWNLOADS_DURING_COMMANDS" \
    --seconds 1200 --timeout-ms 120000 >"$WORK/downloads.txt" 2>/dev/null &
DL_PID=$!
PIDS+=("$DL_PID")
sleep 1
keylat_loaded=$(step timeout 900 "$BIN/keylat" http --port "$PORT" --count "$COMMANDS" --floor 1 \
    --latencies "$WORK/b1-loaded.txt")
kill -TERM "$DL_PID"
wait "$DL_PID" || true
downloads_line=$(cat "$WORK/downloads.txt")
raw "commands, $DOWNLOADS_DURING_COMMANDS downloads running" "$keylat_loaded"
raw "the downloads meanwhile" "$downloads_line"

ROUND_MS=$(( SECONDS_PER_RUN * 1000 / RATE_ROUNDS ))
echo "== connection-per-request rate (B2): $CLIENTS clients, $RATE_ROUNDS rounds of $ROUND_MS ms per server and file"
nginx -e "$NGINX/error.log" -p "$NGINX" -c "$NGINX/nginx.conf" &
PIDS+=($!)
wait_port "$NGPORT"
NGINX_MASTER=$(cat "$NGINX/nginx.pid")
# The worker first: its main thread is the one whose scheduling is reported.
NGINX_PIDS="$(pgrep -d, -P "$NGINX_MASTER"),$NGINX_MASTER"
# Other work on a shared machine comes and goes: the two servers take turns
# in short rounds, so that both meet the same conditions, and each figure
# sums its rounds.
declare -A RATE_LINE
for round in $(seq "$RATE_ROUNDS"); do
    for what in 404 1k; do
        if [ "$what" = 404 ]; then args=(--path /missing.htm --status 404); else args=(--path /1k.htm --length 1024); fi
        for server in ours nginx; do
            if [ "$server" = ours ]; then p=$PORT; cpu=$PROG_PID; else p=$NGPORT; cpu=$NGINX_PIDS; fi
            # A second of warm-up before the first round, not counted.
            [ "$round" = 1 ] && "$LOADGEN" http --port "$p" "${args[@]}" --clients "$CLIENTS" --seconds 1 >/dev/null 2>&1
            drops_before=$(listen_drops)
            line=$(step timeout 120 "$LOADGEN" http --port "$p" "${args[@]}" --clients "$CLIENTS" \
                --seconds-ms "$ROUND_MS" --latencies "$WORK/b2-$what-$server-$round.txt" --cpu-pids "$cpu" 2>/dev/null)
            line="$line listen_overflows=$(( $(listen_drops) - drops_before ))"
            RATE_LINE[$what-$server]+="$line"$'\n'
            raw "rate $what $server, round $round" "$line"
        done
    done
done
for f in "$WORK"/b2-*-1.txt; do cat "${f%-1.txt}"-*.txt >"${f%-1.txt}.txt"; done

echo "== paced transfers (B3)"
single_lines=()
for _ in $(seq "$SINGLE_RUNS"); do
    single_lines+=("$(step timeout 120 "$LOADGEN" http --port "$PORT" --path /big.zip --length "$BIG" --clients 1 \
        --requests 1 --seconds 100 --timeout-ms 100000 --cpu-pids "$PROG_PID" 2>/dev/null)")
done
many_line=$(step timeout 300 "$LOADGEN" http --port "$PORT" --path /big.zip --length "$BIG" --clients 64 \
    --requests 64 --seconds 280 --timeout-ms 280000 --cpu-pids "$PROG_PID" 2>/dev/null)
for l in "${single_lines[@]}"; do raw "one 8 MiB download" "$l"; done
raw "64 downloads at once" "$many_line"

echo "== system calls per 404 (strace -c, 3000 requests)"
# syscalls PID PORT: system calls of every thread of PID per request served.
syscalls() {
    local out ok
    strace -c -f -p "$1" -o "$WORK/strace-$1.txt" 2>/dev/null &
    local tracer=$!
    sleep 0.5
    out=$("$LOADGEN" http --port "$2" --path /missing.htm --status 404 --clients 16 --requests 3000 --seconds 60 2>/dev/null)
    sleep 0.3
    kill -INT "$tracer" 2>/dev/null; wait "$tracer" 2>/dev/null || true
    ok=$(field "$out" ok)
    awk -v n="$ok" '$NF == "total" { printf "%.2f", $4 / n }' "$WORK/strace-$1.txt"
    echo -n " $(awk -v n="$ok" 'NR > 2 && $NF != "total" && $4 ~ /^[0-9]+$/ && $4 / n >= 0.05 { printf "%s%s=%.2f", s, $NF, $4 / n; s = "," }' "$WORK/strace-$1.txt")"
}
SYSCALLS_OURS=$(syscalls "$PROG_PID" "$PORT")
SYSCALLS_NGINX=$(syscalls "$(pgrep -P "$NGINX_MASTER")" "$NGPORT")
raw "system calls per 404, ours" "$SYSCALLS_OURS"
raw "system calls per 404, nginx" "$SYSCALLS_NGINX"

echo "== SIGTERM in the middle of 64 downloads"
"$LOADGEN" http --port "$PORT" --path /big.zip --length "$BIG" --clients 64 --requests 64 --seconds 60 \
    --timeout-ms 60000 >/dev/null 2>&1 &
TERM_DL=$!
PIDS+=("$TERM_DL")
sleep 2
term_start=$(date +%s%N)
stop_program
TERM_MS=$(( ($(date +%s%N) - term_start) / 1000000 ))
MAIN_EXIT=$PROG_EXIT
wait "$TERM_DL" 2>/dev/null || true
raw "SIGTERM during 64 downloads" "exit_status=$MAIN_EXIT ms_to_exit=$TERM_MS"

echo "== soak: peer resets, slow readers, descriptors running out, killed saves, failing keys"
start_program
resets_line=$(step timeout 300 "$BIN/soak" resets --port "$PORT" --pid "$PROG_PID" --clients "$RESET_CLIENTS" --wave 100)
burst_line=$(step timeout 300 "$BIN/soak" resets --port "$PORT" --pid "$PROG_PID" --clients "$RESET_CLIENTS" \
    --wave "$RESET_CLIENTS")
slow_line=$(step timeout 300 "$BIN/soak" slowreaders --port "$PORT" --pid "$PROG_PID" --path /big.zip --length "$BIG" \
    --readers "$SLOW_READERS" --stall-ms 3000)
stop_program
start_program "$SOAK_FD_LIMIT"
exhaust_line=$(step timeout 120 "$BIN/soak" exhaustion --port "$PORT" --pid "$PROG_PID")
stop_program
savekill_line=$(step timeout 900 "$BIN/soak" savekill --rounds "$SAVE_KILLS")
strokes_line=$(step timeout 300 "$BIN/soak" strokes --strokes "$STROKES")
raw "resets, 100 at a time" "$resets_line"
raw "resets, all at once" "$burst_line"
raw "slow readers" "$slow_line"
raw "descriptors running out (limit $SOAK_FD_LIMIT)" "$exhaust_line"
raw "keys.dat saves killed" "$savekill_line"
raw "strokes through a failing key sink" "$strokes_line"

echo "== event log (eventlog_bench, $EVENTLOG_LINES lines)"
eventlog_out=$(QT_QPA_PLATFORM=offscreen step timeout 300 "$BIN/eventlog_bench" "$EVENTLOG_LINES" 2>/dev/null)
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)
ELAPSED=$(( $(date +%s) - BEGIN_TIME ))

# ------------------------------------------------------------------- table
echo
echo "== results"
ms() { printf '%.2f' "$1"; }

# B1
i50=$(field "$keylat_idle" p50_ms); i99=$(field "$keylat_idle" p99_ms); ie=$(field "$keylat_idle" errors)
l50=$(field "$keylat_loaded" p50_ms); l99=$(field "$keylat_loaded" p99_ms); le=$(field "$keylat_loaded" errors)
x50=$(field "$keylat_xdotool" p50_ms); x99=$(field "$keylat_xdotool" p99_ms); xe=$(field "$keylat_xdotool" errors)
de=$(field "$downloads_line" errors); dok=$(field "$downloads_line" ok)
f50=$(field "$keylat_idle" floor_p50_ms)
row "B1 command → key-down, idle" "p50 $(ms "$i50") ms, p99 $(ms "$i99") ms ($(field "$keylat_idle" ok) ok, $ie errors; floor p50 $(ms "$f50"), p99 $(ms "$(field "$keylat_idle" floor_p99_ms)") ms)" \
    "p50 ≤ floor + 0.3 ms, p99 ≤ 1.5 ms" "$(verdict "$i50 <= $f50 + 0.3 && $i99 <= 1.5 && $ie == 0")"
row "B1 the same, $DOWNLOADS_DURING_COMMANDS downloads running" \
    "p50 $(ms "$l50") ms, p99 $(ms "$l99") ms ($(field "$keylat_loaded" ok) ok, $le errors; downloads: $dok done, $de errors; floor p50 $(ms "$(field "$keylat_loaded" floor_p50_ms)"), p99 $(ms "$(field "$keylat_loaded" floor_p99_ms)") ms)" \
    "p99 ≤ 3 ms" "$(verdict "$l99 <= 3 && $le == 0 && $de == 0")"
p50=$(field "$keylat_pinned" p50_ms); p99=$(field "$keylat_pinned" p99_ms)
row "B1 idle, program + X server + bench on one CPU" \
    "p50 $(ms "${p50:-0}") ms, p99 $(ms "${p99:-0}") ms ($(field "$keylat_pinned" ok) ok, $(field "$keylat_pinned" errors) errors; floor p99 $(ms "$(field "$keylat_pinned" floor_p99_ms)") ms)" \
    "diagnostic" "—"
row "B1 xdotool key ctrl+a (spawn → key-down)" "p50 $(ms "$x50") ms, p99 $(ms "$x99") ms ($(field "$keylat_xdotool" ok) ok, $xe errors)" \
    "reference" "—"
r50=$(calc "$x50 / $i50"); r99=$(calc "$x99 / $i99")
row "B1 speed-up over xdotool (idle)" "$(printf '%.1f' "$r50")× at p50, $(printf '%.1f' "$r99")× at p99" "≥ 10× (at p50)" \
    "$(verdict "$r50 >= 10")"

# B2: sums over the rounds of each server and file.
# rounds TEXT KEY: the values of KEY in the result lines of TEXT, one a line.
rounds() { local l; while IFS= read -r l; do if [ -n "$l" ]; then field "$l" "$2"; fi; done <<<"$1"; }
sum() { awk '{ s += $1 } END { printf "%.6g", s }'; }
pct() { sort -g "$1" | awk -v p="$2" '{ v[NR] = $1 } END { r = int(p / 100 * NR + 0.999999); if (r < 1) r = 1; print (NR ? v[r] : 0) }'; }
for what in 404 1k; do
    o=${RATE_LINE[$what-ours]}; n=${RATE_LINE[$what-nginx]}
    or=$(calc "$(rounds "$o" rate | sum) / $RATE_ROUNDS"); nr=$(calc "$(rounds "$n" rate | sum) / $RATE_ROUNDS")
    oe=$(rounds "$o" errors | sum); ne=$(rounds "$n" errors | sum)
    ratio=$(calc "$or / $nr")
    per_round=$(paste -d' ' <(rounds "$o" rate) <(rounds "$n" rate) | awk '{ printf "%s%.2f", (NR > 1 ? " " : ""), $1 / $2 }')
    ocpu=$(calc "$(rounds "$o" server_cpu_s | sum) * 1e6 / $(rounds "$o" ok | sum)")
    ncpu=$(calc "$(rounds "$n" server_cpu_s | sum) * 1e6 / $(rounds "$n" ok | sum)")
    label="404"; [ "$what" = 1k ] && label="1 KB file"
    row "B2 rate, $label, $CLIENTS clients" \
        "$(printf '%.0f' "$or")/s vs nginx $(printf '%.0f' "$nr")/s = $(printf '%.2f' "$ratio")× (rounds: $per_round; $oe / $ne errors; p99 $(ms "$(pct "$WORK/b2-$what-ours.txt" 99)") vs $(ms "$(pct "$WORK/b2-$what-nginx.txt" 99)") ms, max $(ms "$(pct "$WORK/b2-$what-ours.txt" 100)") vs $(ms "$(pct "$WORK/b2-$what-nginx.txt" 100)") ms; CPU $(printf '%.0f' "$ocpu") vs $(printf '%.0f' "$ncpu") µs/request; listen-queue overflows $(rounds "$o" listen_overflows | sum) vs $(rounds "$n" listen_overflows | sum))" \
        "≥ 1.0× nginx, 0 errors, 0 overflows" "$(verdict "$ratio >= 1.0 && $oe == 0 && $(rounds "$o" listen_overflows | sum) == 0")"
done

# B3
single_rates=()
single_errors=0
for l in "${single_lines[@]}"; do
    single_rates+=("$(field "$l" mbytes_per_s)")
    single_errors=$((single_errors + $(field "$l" errors)))
done
single_median=$(printf '%s\n' "${single_rates[@]}" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
# The pacing allows 2048 bytes per 1 ms tick: 2.048 MB/s.
single_ratio=$(calc "$single_median / 2.048")
row "B3 one 8 MiB download" "$(printf '%.3f' "$single_median") MB/s = $(printf '%.1f' "$(calc "$single_ratio * 100")") % of 2048 B/ms (median of $SINGLE_RUNS; $single_errors errors)" \
    "≥ 97 %" "$(verdict "$single_ratio >= 0.97 && $single_errors == 0")"
many_mb=$(calc "$(field "$many_line" body_bytes) / $(field "$many_line" seconds) / 1e6")
many_e=$(field "$many_line" errors)
row "B3 64 downloads of 8 MiB at once" "$(printf '%.1f' "$many_mb") MB/s together ($(field "$many_line" ok) ok, $many_e errors, $(printf '%.1f' "$(field "$many_line" seconds)") s; program CPU $(field "$many_line" server_cpu_s) s, UI thread ran $(field "$many_line" main_thread_run_s) s)" \
    "≥ 120 MB/s" "$(verdict "$many_mb >= 120 && $many_e == 0")"
so=${SYSCALLS_OURS%% *}; sn=${SYSCALLS_NGINX%% *}
row "System calls per 404 (strace -c, all threads)" "$so (${SYSCALLS_OURS#* }) vs nginx $sn (${SYSCALLS_NGINX#* })" \
    "≤ nginx's count" "$(verdict "$so <= $sn")"
row "SIGTERM in the middle of 64 downloads" "exit status $MAIN_EXIT after $TERM_MS ms" "exit 0 within 1 s" \
    "$(verdict "$MAIN_EXIT == 0 && $TERM_MS <= 1000")"

# B4
per=$(field "$idle_line" per_conn_bytes); acc=$(field "$idle_line" accepted)
row "B4 RSS idle" "$(field "$idle_line" rss_idle_kib) KiB" "—" "—"
row "B4 RSS with $IDLE_CONNECTIONS idle connections" \
    "$(field "$idle_line" rss_held_kib) KiB ($acc accepted, $(field "$idle_line" err_connect) connect errors)" "—" "—"
row "B4 after all $IDLE_CONNECTIONS closed at once" \
    "RSS $(field "$idle_line" rss_closed_kib) KiB, main-thread stack $(field "$idle_line" stack_before_kib) → $(field "$idle_line" stack_after_kib) KiB; still running: $(field "$idle_line" alive_after)" \
    "—" "—"
row "B4 memory per idle connection" "$(printf '%.0f' "$per") bytes = $(printf '%.2f' "$(calc "$per / 1024")") KiB" \
    "≤ 4 KiB" "$(verdict "$per <= 4096 && $acc == $IDLE_CONNECTIONS")"
pm=$(field "$idle_line" probe_max_ms)
row "B4 a request while $IDLE_CONNECTIONS idle connections are held" \
    "p50 $(ms "$(field "$idle_line" probe_p50_ms)") ms, max $(ms "$pm") ms ($(field "$idle_line" probes) probes, $(field "$idle_line" probe_errors) errors)" \
    "< 50 ms" "$(verdict "$pm < 50 && $(field "$idle_line" probe_errors) == 0 && $(field "$idle_line" probes) > 0")"

# B5
sm=$(field "$start_line" median_ms)
row "B5 start-up to listening" "median $sm ms (min $(field "$start_line" min_ms), max $(field "$start_line" max_ms); $START_RUNS runs; SIGTERM at that line: $(field "$start_line" term_ignored) ignored, $(field "$start_line" killed) needed SIGKILL, $(field "$start_line" exit_failures) bad exits)" \
    "≤ 150 ms" "$(verdict "$sm <= 150 && $(field "$start_line" not_listening) == 0")"
lm=$(field "$config_line" load_median_ms); im=$(field "$config_line" import_median_ms); ce=$(field "$config_line" errors)
row "B5 LoadConfig, keys.dat of 10,000 bindings" "median $(ms "$lm") ms (min $(ms "$(field "$config_line" load_min_ms)"); $CONFIG_RUNS runs)" \
    "≤ 20 ms" "$(verdict "$lm <= 20 && $ce == 0")"
row "B5 ImportKeyFile, key file of 2,000 lines" "median $(ms "$im") ms (min $(ms "$(field "$config_line" import_min_ms)"); $(field "$config_line" imported) bindings)" \
    "≤ 10 ms" "$(verdict "$im <= 10 && $ce == 0")"

# Event log
ev_ours=$(sed -n 's/.*FrmMain::AddMsg *: *\([0-9.]*\) lines\/s.*/\1/p' <<<"$eventlog_out")
ev_ratio=$(sed -n 's/.*(\([0-9.]*\)x the reference).*/\1/p' <<<"$eventlog_out")
row "Event log lines (eventlog_bench)" "${ev_ours:-?} lines/s = ${ev_ratio:-?}× the per-item list widget" "—" "—"

# Soak: measurements; the "result" column says whether nothing was lost.
row "Soak: $IDLE_CONNECTIONS idle connections (B4's run)" \
    "$(field "$idle_line" accepted) held; a request meanwhile p50 $(ms "$(field "$idle_line" probe_p50_ms)") ms, max $(ms "$(field "$idle_line" probe_max_ms)") ms" \
    "all held, answered" "$(verdict "$(field "$idle_line" accepted) == $IDLE_CONNECTIONS && $(field "$idle_line" probe_errors) == 0")"
for line in "$resets_line" "$burst_line"; do
    row "Soak: $RESET_CLIENTS resets mid-transfer, $(field "$line" wave) at a time" \
        "$(field "$line" fds_leaked) descriptors leaked ($(field "$line" fds_before) → $(field "$line" fds_after)), RSS $(field "$line" rss_before_kib) → $(field "$line" rss_after_kib) KiB, $(field "$line" seconds) s; a request after: $(ms "$(field "$line" probe_ms)") ms" \
        "0 leaked, answered" "$(verdict "$(field "$line" fds_leaked) == 0 && $(field "$line" probe_ok) == 1 && $(field "$line" reset) == $RESET_CLIENTS")"
done
row "Soak: $SLOW_READERS slow readers of 8 MiB, stalled $(calc "$(field "$slow_line" stall_ms) / 1000") s" \
    "RSS +$(field "$slow_line" per_reader_kib) KiB per reader ($(field "$slow_line" rss_before_kib) → $(field "$slow_line" rss_stalled_kib) KiB); $(field "$slow_line" complete) got every byte, the last $(field "$slow_line" seconds_to_last) s after reading on" \
    "all complete" "$(verdict "$(field "$slow_line" complete) == $SLOW_READERS")"
row "Soak: descriptors run out (limit $SOAK_FD_LIMIT)" \
    "$(field "$exhaust_line" held) connections held, CPU $(field "$exhaust_line" cpu_percent_while_full) % while full; the request waiting answered $(ms "$(field "$exhaust_line" recovery_ms)") ms after they closed; $(field "$exhaust_line" fds_leaked) descriptors leaked" \
    "answered, 0 leaked" "$(verdict "$(field "$exhaust_line" waiting_answered) == 1 && $(field "$exhaust_line" fds_leaked) == 0")"
row "Soak: keys.dat saves killed $(field "$savekill_line" kills) times" \
    "whole $(field "$savekill_line" whole) (new $(field "$savekill_line" whole_large), old $(field "$savekill_line" whole_small)), torn $(field "$savekill_line" torn); files left beside: $(field "$savekill_line" leftovers)" \
    "0 torn" "$(verdict "$(field "$savekill_line" torn) == 0 && $(field "$savekill_line" whole) == $(field "$savekill_line" kills)")"
row "Soak: $STROKES strokes, key sink failing 2 / 20 / 50 %" \
    "keys left down $(field "$strokes_line" left_down_2) / $(field "$strokes_line" left_down_20) / $(field "$strokes_line" left_down_50); failed ups $(field "$strokes_line" failed_ups_2) / $(field "$strokes_line" failed_ups_20) / $(field "$strokes_line" failed_ups_50)" \
    "0 left down" "$(verdict "$(field "$strokes_line" left_down_2) + $(field "$strokes_line" left_down_20) + $(field "$strokes_line" left_down_50) == 0 && $(field "$strokes_line" failed_ups_2) > 0")"

# -------------------------------------------------------------------- plot
cdf() { # cdf FILE: sorted values with their cumulative share, at most ~2000 points
    local n
    n=$(wc -l <"$1")
    [ "$n" -gt 0 ] || { echo "0 0"; return; }
    sort -g "$1" | awk -v n="$n" -v step="$(( n / 2000 + 1 ))" '(NR % step == 0 || NR == n) { print $1, NR / n }'
}
touch "$WORK/b1-pinned.txt"
for f in "$WORK"/b1-*.txt "$WORK"/b2-{404,1k}-{ours,nginx}.txt; do cdf "$f" >"${f%.txt}.cdf"; done
gnuplot <<EOF
set terminal pngcairo size 1100,460 font ",10"
set output "$ROOT/$PLOT"
set multiplot layout 1,2 title "Vanterel $STAMP — latency distributions (cumulative share of requests)"
set logscale x
set grid
set ylabel "share of requests"
set yrange [0:1]
set xlabel "request sent → key-down seen by an X client (ms)"
set key bottom right box opaque
set title "B1 command latency, $COMMANDS commands each"
plot "$WORK/b1-idle.cdf" using 1:2 with lines lw 2 title "Vanterel, idle", \
     "$WORK/b1-pinned.cdf" using 1:2 with lines lw 1 title "Vanterel, idle, all on one CPU", \
     "$WORK/b1-loaded.cdf" using 1:2 with lines lw 2 title "Vanterel, $DOWNLOADS_DURING_COMMANDS downloads running", \
     "$WORK/b1-xdotool.cdf" using 1:2 with lines lw 2 title "xdotool key ctrl+a (spawned)", \
     "$WORK/b1-xtest.cdf" using 1:2 with lines lw 1 dt 3 title "floor: XTEST from the bench itself (idle)"
set xlabel "connect → server closed (ms), $CLIENTS clients"
set key bottom right box opaque
set title "B2 connection-per-request, $SECONDS_PER_RUN s per server and file"
plot "$WORK/b2-404-ours.cdf" using 1:2 with lines lw 2 title "Vanterel 404", \
     "$WORK/b2-404-nginx.cdf" using 1:2 with lines lw 2 dt 2 title "nginx 404", \
     "$WORK/b2-1k-ours.cdf" using 1:2 with lines lw 2 title "Vanterel 1 KB", \
     "$WORK/b2-1k-nginx.cdf" using 1:2 with lines lw 2 dt 2 title "nginx 1 KB"
unset multiplot
EOF

# ----------------------------------------------------------- results file
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
mem=$(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
qt=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || echo "?")
{
    echo "# Vanterel benchmarks, $STAMP"
    echo
    echo "Command: \`bench/run.sh$([ "$QUICK" = 1 ] && echo " --quick")\` ($COMMANDS commands per latency series," \
        "$SECONDS_PER_RUN s per rate run), $ELAPSED s in all; commit $(git rev-parse --short HEAD 2>/dev/null || echo '?')."
    echo
    echo "| figure | measured | target | result |"
    echo "|---|---|---|---|"
    printf '%s\n' "${ROWS[@]}"
    echo
    echo "![latency distributions]($(basename "$PLOT"))"
    echo
    echo "## Machine"
    echo
    echo "- $(nproc) cores ($cpu), $mem memory, shared with other work: load average $LOAD_BEFORE before, $LOAD_AFTER after"
    echo "- $(. /etc/os-release; echo "$PRETTY_NAME"), kernel $(uname -r), Qt $qt, $(nginx -v 2>&1 | sed 's/^nginx version: //'), xdotool $(dpkg-query -W -f='${Version}' xdotool 2>/dev/null)"
    echo "- Release build (-O3 by CMake's Release type) in build-bench/; the program in a folder of its own with its own keys.dat,"
    echo "  offscreen window (QT_QPA_PLATFORM=offscreen) and keys through XTest on a private Xvfb; its standard error went to a file"
    echo
    echo "## How each figure is measured"
    echo
    echo "- B1: bench/keylat owns a focused window on the private X server. Per command it connects, sends"
    echo "  \`GET /?FIRE\` (bound to Ctrl+A) and times until its window receives the A key going down; the next command"
    echo "  goes out once every key is up again (each stroke holds its key 50 ms). xdotool: \`xdotool key ctrl+a\`"
    echo "  spawned per command, timed from the spawn to the same key-down. Loaded: bench/loadgen keeps"
    echo "  $DOWNLOADS_DURING_COMMANDS downloads of the 8 MiB file running meanwhile. Floor: after each command"
    echo "  the bench fakes Ctrl+A through XTEST on a connection of its own and times it the same way: what the X"
    echo "  server and the machine's scheduling cost without the program, under the same conditions. One CPU: the"
    echo "  program (all threads), Xvfb and the bench pinned to the last CPU with taskset, so that no wake-up crosses CPUs."
    echo "- B2: bench/loadgen, $CLIENTS clients, one connection per request, each response read until the server closes"
    echo "  and checked (status; body against Content-Length). nginx: 1 worker, access_log off, keepalive_timeout 0,"
    echo "  the same document root. The servers take turns in $RATE_ROUNDS rounds of $ROUND_MS ms each (1 s of warm-up before"
    echo "  the first); a rate is the mean over the rounds of the requests completed in each round's window. listen_overflows: the machine-wide TcpExtListenOverflows counter over the run. CPU per request:"
    echo "  user + system time of the server's processes (nginx: master and worker) over the run, divided by its requests."
    echo "- B3: one download of the 8 MiB file (median of $SINGLE_RUNS), and 64 at once (their bytes over the time to the"
    echo "  last one); 2048 bytes per 1 ms tick is 2.048 MB/s (MB = 10^6 bytes). The program's main thread's running and"
    echo "  run-queue waiting times come from /proc/PID/schedstat."
    echo "- B4: a fresh start, 1 s to settle, then $IDLE_CONNECTIONS connections that send nothing, opened in batches"
    echo "  that the program has accepted (its descriptor count) before the next; VmRSS from /proc. While they are held,"
    echo "  50 requests for a missing file, one after another, each timed from connect to the server's close."
    echo "- System calls: strace -c -f on the running program (all threads) and on nginx's worker while 16 clients make"
    echo "  3000 requests for a missing file; calls over requests answered, with the calls made at least once per 20 requests."
    echo "- SIGTERM: 64 downloads of the 8 MiB file running for 2 s, then SIGTERM to the program; time to its exit."
    echo "- Soak (bench/soak, against a fresh start of the program): $RESET_CLIENTS clients ask for the 8 MiB file and reset"
    echo "  (SO_LINGER 0) after 0, 1, 60, 4096 or 16384 bytes, a wave at a time, the wave together; descriptors are the"
    echo "  program's sockets and files in /proc/PID/fd (its thread pools' event descriptors come and go), before and once"
    echo "  settled after. Slow readers: receive buffers of 4 KiB, nothing read for the stall while VmRSS is sampled, then"
    echo "  all read on. Descriptors running out: the program started with an open-file limit of $SOAK_FD_LIMIT, connections"
    echo "  that send nothing until it holds no more, a request sent behind them, the program's CPU over 2 s, then ours"
    echo "  closed. Killed saves: a child saving keys.dat (3000 or 2 bindings in turn) killed with SIGKILL at a random"
    echo "  moment within two saves, the file read back each time. Strokes: random keys and modifiers through the stroke"
    echo "  player over a key sink whose calls fail at random; a failed down may have taken effect, a failed up, send or"
    echo "  flush loses its ups."
    echo "- B5: bench/startbench spawns the program $START_RUNS times and times the spawn to the \"Server listening on address\""
    echo "  line on its standard error; bench/configbench times LoadConfig and ImportKeyFile on generated files ($CONFIG_RUNS runs)."
    echo
    echo "## Raw result lines"
    echo
    echo '```'
    printf '%s\n' "${RAW[@]}"
    echo "program exit status after SIGTERM: $MAIN_EXIT"
    echo '```'
    echo
    echo "eventlog_bench:"
    echo
    echo '```'
    echo "$eventlog_out"
    echo '```'
} >"$RESULTS"
echo
echo "Results: $RESULTS, plot: $PLOT"
