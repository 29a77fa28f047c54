#!/usr/bin/env bash
# Formats our C++ sources with the committed .clang-format, or with --check
# lists the files that would change and fails. Pinned to Debian 12's
# clang-format 14: another version formats some constructs differently.
set -euo pipefail
cd "$(dirname "$0")/.."
CLANG_FORMAT="${CLANG_FORMAT:-clang-format}"
version="$("$CLANG_FORMAT" --version)"
case "$version" in
    *" version 14."*) ;;
    *) echo "format.sh: wants clang-format 14 (Debian 12), found: $version" >&2; exit 2 ;;
esac
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
    bad=()
    for f in "${files[@]}"; do
        "$CLANG_FORMAT" --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
    done
    if [ ${#bad[@]} -gt 0 ]; then
        echo "Not formatted (run scripts/format.sh):" >&2
        printf '  %s\n' "${bad[@]}" >&2
        exit 1
    fi
    echo "format: ${#files[@]} files as .clang-format has them"
else
    "$CLANG_FORMAT" -i "${files[@]}"
fi
