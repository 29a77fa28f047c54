#!/usr/bin/env bash
# Installs what is missing, builds Vanterel with its tests and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
vanterel_install $VANTEREL_BUILD_PACKAGES $VANTEREL_DISPLAY_PACKAGES $VANTEREL_TEST_PACKAGES

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTEREL_BUILD_TESTS=ON
cmake --build build -j"$(nproc)"
cd build
ctest --output-on-failure
