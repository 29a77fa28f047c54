#!/usr/bin/env bash
# Builds a Release build of Vanterel for Windows in build-windows-package/
# (MinGW-w64, against the Qt of scripts/windows-qt.sh), then its installer
# (CPack's NSIS generator) and its portable zip. Prints the zip's path, then
# the installer's as the last line.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
vanterel_install cmake ninja-build g++-mingw-w64-x86-64 nsis zip

VANTEREL_WINDOWS_QT=$(bash scripts/windows-qt.sh | tail -n 1)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-windows-package -G Ninja --toolchain cmake/mingw-w64-x86_64.cmake \
    -DVANTEREL_WINDOWS_QT="$VANTEREL_WINDOWS_QT" -DCMAKE_BUILD_TYPE=Release -DVANTEREL_BUILD_TESTS=OFF \
    "${launcher[@]}" >&2
cmake --build build-windows-package -j2 --target vanterel vanterel-keys >&2
rm -f build-windows-package/Vanterel-*-win64.exe build-windows-package/Vanterel-*-win64.zip
(cd build-windows-package && cpack -G "NSIS;ZIP") >&2
shopt -s nullglob
installers=(build-windows-package/Vanterel-*-win64.exe)
zips=(build-windows-package/Vanterel-*-win64.zip)
if [ ${#installers[@]} -ne 1 ] || [ ${#zips[@]} -ne 1 ]; then
    echo "CPack made ${#installers[@]} installers and ${#zips[@]} zips, not one of each" >&2
    exit 1
fi
realpath "${zips[0]}"
realpath "${installers[0]}"
