#!/usr/bin/env bash
# Builds the libFuzzer targets (CMake preset "fuzz": Clang, address and
# undefined sanitizers) and runs each one for a bounded time on a scratch copy
# of its seed corpus in fuzz/corpus/, so the repository is never written to.
# Exits non-zero when any target finds something; the input that did it is
# kept in build-fuzz/findings/<target>/ and the command that replays it is
# printed. Targets: fuzz_request (the request decision and the document-root
# look-up) and fuzz_textfiles (the keys.dat loader and the key-file import).
#
#   scripts/fuzz.sh                               every target, 20 s each (CI)
#   scripts/fuzz.sh --seconds 900                 longer local run, 15 min each
#   scripts/fuzz.sh --seconds 3600 fuzz_request   one target for an hour
#
# For a run that keeps what it learns, give a target a folder of your own
# (made beforehand) ahead of the committed corpus: new inputs go to the first
# folder named. Fold the useful ones back in with -merge=1 before committing:
#   build-fuzz/fuzz/fuzz_textfiles -dict=fuzz/fuzz_textfiles.dict /tmp/tf fuzz/corpus/fuzz_textfiles
#   build-fuzz/fuzz/fuzz_textfiles -merge=1 fuzz/corpus/fuzz_textfiles /tmp/tf
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=20
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds)
            [ $# -ge 2 ] || { echo "--seconds needs a number" >&2; exit 2; }
            seconds=$2
            shift 2
            ;;
        --seconds=*)
            seconds=${1#--seconds=}
            shift
            ;;
        -h|--help)
            sed -n '2,/^set -euo/p' "$0" | sed '$d'
            exit 0
            ;;
        -*)
            echo "Unknown option: $1" >&2
            exit 2
            ;;
        *)
            targets+=("$1")
            shift
            ;;
    esac
done
case "$seconds" in
    ''|*[!0-9]*|0) echo "--seconds wants a whole number above 0, not '$seconds'" >&2; exit 2 ;;
esac
if [ ${#targets[@]} -eq 0 ]; then
    targets=(fuzz_request fuzz_textfiles)
fi
for target in "${targets[@]}"; do
    if [ ! -d "fuzz/corpus/$target" ]; then
        echo "No fuzz target named $target (known: $(ls fuzz/corpus | tr '\n' ' '))" >&2
        exit 2
    fi
done

. scripts/deps.sh
# llvm brings llvm-symbolizer, which turns sanitizer reports into file:line.
vanterel_install $VANTEREL_BUILD_PACKAGES clang libclang-rt-14-dev llvm

cmake --preset fuzz
cmake --build --preset fuzz

# One scratch folder for corpora, findings and the targets' own files; in
# memory when possible, and gone when this script ends, whatever happens.
scratch_base=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch_base=/dev/shm
work=$(mktemp -d "$scratch_base/vanterel-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TMPDIR="$work/tmp"
mkdir -p "$TMPDIR"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

findings=build-fuzz/findings
failed=()
for target in "${targets[@]}"; do
    binary=build-fuzz/fuzz/$target
    if [ ! -x "$binary" ]; then
        echo "$binary was not built" >&2
        failed+=("$target")
        continue
    fi
    mkdir -p "$work/$target/artifacts"
    cp -R "fuzz/corpus/$target" "$work/$target/corpus"
    dict=()
    [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")

    echo "== $target: ${seconds} s"
    status=0
    "$binary" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 "${dict[@]}" \
        -artifact_prefix="$work/$target/artifacts/" "$work/$target/corpus" \
        >"$work/$target/log" 2>&1 || status=$?
    shopt -s nullglob
    artifacts=("$work/$target/artifacts"/*)
    shopt -u nullglob
    if [ $status -eq 0 ] && [ ${#artifacts[@]} -eq 0 ]; then
        grep -E '^Done [0-9]+ runs' "$work/$target/log" || tail -n 1 "$work/$target/log"
        continue
    fi

    failed+=("$target")
    tail -n 60 "$work/$target/log"
    mkdir -p "$findings/$target"
    for artifact in "${artifacts[@]}"; do
        cp "$artifact" "$findings/$target/"
        echo "Replay: $binary $findings/$target/$(basename "$artifact")"
    done
    echo "== $target FAILED (exit status $status)"
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "Fuzzing found problems in: ${failed[*]}" >&2
    exit 1
fi
echo "Fuzzing: no findings in ${targets[*]} (${seconds} s each)"
