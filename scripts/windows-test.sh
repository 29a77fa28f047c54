#!/usr/bin/env bash
# Builds the key-injection library and vanterel-keys for Windows with MinGW-w64
# and checks the Windows key backend under Wine (installs what is missing
# first). The Qt program itself is not built here: no Qt for Windows can be
# installed on this platform.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
vanterel_install cmake make g++-mingw-w64-x86-64 wine64 xvfb

cmake --preset windows-inject
cmake --build --preset windows-inject
ctest --preset windows-inject
