#!/usr/bin/env bash
# Builds Qt 6 (Core, Gui, Widgets, Network, Test) and libqrencode for 64-bit
# Windows with Debian's MinGW-w64, from Debian's own sources, into a cache
# outside the tree:
#   ${XDG_CACHE_HOME:-$HOME/.cache}/vanterel/windows-qt/prefix
# The build is reused while the stamp of the recipe (the source versions, the
# toolchain and the configure options below) matches, and made again when it
# changes. An interrupted build resumes where it stopped. Progress goes to
# stderr; the one line on stdout is the prefix, to be given to CMake as
# -DVANTEREL_WINDOWS_QT=<prefix>.
#
# Debian's native Qt is the same version (6.4.2) and serves as the host Qt for
# moc, rcc and uic, so no host Qt is built. Takes about 25 minutes on two
# cores; the build runs at low priority (nice) with two jobs, or
# VANTEREL_QT_JOBS.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
. scripts/deps.sh

cache="${XDG_CACHE_HOME:-$HOME/.cache}/vanterel/windows-qt"
prefix="$cache/prefix"
jobs="${VANTEREL_QT_JOBS:-2}"
mingw=x86_64-w64-mingw32

# --- The recipe ---------------------------------------------------------------
# The toolchain file: configure does not pick the cross compiler by itself.
# The POSIX thread model gives std::thread and std::mutex.
toolchain="set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER /usr/bin/$mingw-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/$mingw-g++-posix)
set(CMAKE_RC_COMPILER /usr/bin/$mingw-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$mingw)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)"
# Bundled third-party code for what MinGW-w64 lacks; everything the program
# does not use is left out. The +dfsg tarball has no wintab, so tablet events
# go.
qt_options=(-xplatform win32-g++ -device-option CROSS_COMPILE=$mingw-
    -qt-host-path /usr -release -shared -nomake examples -nomake tests
    -qt-zlib -qt-pcre -qt-libpng -qt-harfbuzz -qt-freetype -qt-doubleconversion
    -no-opengl -no-dbus -no-icu -no-openssl -no-zstd -no-libjpeg
    -no-feature-sql -no-feature-xml -no-feature-concurrent -no-feature-printsupport
    -no-feature-vulkan -no-feature-tabletevent)
# A static library with no tools and no PNG.
qrencode_options=(-DBUILD_SHARED_LIBS=OFF -DWITH_TOOLS=OFF -DWITHOUT_PNG=ON)
qt_recipe="$(printf '%s\n' "qt6-base 6.4.2" "$toolchain" "${qt_options[*]}" | sha256sum | cut -d' ' -f1)"
stamp_want="$(printf '%s\n' "$qt_recipe" "qrencode ${qrencode_options[*]}" | sha256sum | cut -d' ' -f1)"

# Progress goes to stderr, so that it shows while a caller takes the prefix
# from stdout.
say() { echo "windows-qt: $*" >&2; }

# Boost (header-only: Asio and Beast for the server) is copied in, with its
# CMake files at the same depth below the prefix as below /usr, so that they
# find the headers beside them; the cross build sees no host headers. Cheap,
# and outside the stamp: a Qt build is not made again for it.
copy_boost() {
    vanterel_install libboost-dev
    local cmake_dir=/usr/lib/x86_64-linux-gnu/cmake
    if [ ! -d "$prefix/include/boost" ] || [ /usr/include/boost -nt "$prefix/include/boost" ]; then
        mkdir -p "$prefix/include" "$prefix/lib/x86_64-linux-gnu/cmake"
        rm -rf "$prefix/include/boost"
        cp -r /usr/include/boost "$prefix/include/"
        cp -r "$cmake_dir"/Boost-* "$cmake_dir"/boost_headers-* "$cmake_dir"/BoostDetectToolset-* \
            "$prefix/lib/x86_64-linux-gnu/cmake/" 2>/dev/null || true
    fi
}

if [ -f "$prefix/.stamp" ] && [ "$(cat "$prefix/.stamp")" = "$stamp_want" ]; then
    copy_boost
    say "reusing the build in $prefix"
    echo "$prefix"
    exit 0
fi
start=$(date +%s)

# apt-get source needs a deb-src entry: the same archive and suite as the
# system's own, which a fresh machine does not list.
src_list=/etc/apt/sources.list.d/vanterel-deb-src.sources
if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "A deb-src entry is needed for apt-get source; run this script as root once." >&2
        exit 1
    fi
    suite="$(. /etc/os-release && echo "$VERSION_CODENAME")"
    say "adding the source entry $src_list ($suite)"
    cat >"$src_list" <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    apt-get update -qq
fi
# Debian's native Qt is the host Qt (its moc, rcc and uic run during the build).
vanterel_install dpkg-dev cmake ninja-build pkg-config g++-mingw-w64-x86-64 \
    qt6-base-dev qt6-base-dev-tools

mkdir -p "$cache"
cd "$cache"

# --- Qt ---------------------------------------------------------------------
# apt-get source unpacks with dpkg-source, which applies debian/patches.
if [ ! -d qt-src ]; then
    say "fetching Debian's qt6-base source"
    rm -rf qt-get && mkdir qt-get
    (cd qt-get && apt-get source -qq qt6-base >/dev/null)
    mv "$(find qt-get -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*')" qt-src
    rm -rf qt-get
fi

# Written only when it changes: a newer file would make Qt's build configure again.
[ "$(cat "$cache/toolchain.cmake" 2>/dev/null)" = "$toolchain" ] || echo "$toolchain" >"$cache/toolchain.cmake"

# A build folder left by another recipe is started again; one left by this
# recipe (an interrupted run) is resumed.
if [ "$(cat qt-build/.recipe 2>/dev/null)" != "$qt_recipe" ] || [ ! -f qt-build/build.ninja ]; then
    say "configuring Qt"
    rm -rf qt-build && mkdir qt-build
    # Host .pc files must not leak into the cross build.
    (cd qt-build && PKG_CONFIG_LIBDIR=/nonexistent nice -n 10 ../qt-src/configure \
        -prefix "$prefix" "${qt_options[@]}" -- -G Ninja -DCMAKE_TOOLCHAIN_FILE="$cache/toolchain.cmake" \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake) >qt-configure.log 2>&1 ||
        { tail -40 qt-configure.log >&2; say "Qt configure failed (log: $cache/qt-configure.log)"; exit 1; }
    echo "$qt_recipe" >qt-build/.recipe
fi

say "building Qt with $jobs jobs (17 to 25 minutes on two idle cores)"
# Ninja's own progress line, one line every 100 steps, so that a log stays short.
PKG_CONFIG_LIBDIR=/nonexistent nice -n 10 cmake --build qt-build --parallel "$jobs" 2>&1 |
    awk '/^\[[0-9]+\/[0-9]+\]/ { gsub(/[][]/, "", $1); split($1, n, "/"); if (n[1] % 100 == 0 || n[1] == n[2]) { print "windows-qt: Qt " n[1] "/" n[2]; fflush() } next } /FAILED|error:/ { print; fflush() }' >&2
[ "${PIPESTATUS[0]}" -eq 0 ] || { say "Qt build failed"; exit 1; }
rm -rf "$prefix"
cmake --install qt-build >/dev/null

# --- libqrencode --------------------------------------------------------------
# Debian has no MinGW build of it.
if [ ! -d qrencode-src ]; then
    say "fetching Debian's qrencode source"
    rm -rf qrencode-get && mkdir qrencode-get
    # Debian's packaging part (debian.tar.xz) is not on every mirror; the
    # library is all in the original tarball, which apt-get fetches first.
    if ! (cd qrencode-get && apt-get source -qq qrencode >/dev/null 2>&1); then
        orig=$(find qrencode-get -maxdepth 1 -name 'qrencode_*.orig.tar.*' | head -n 1)
        [ -n "$orig" ] || { say "apt-get source qrencode failed"; exit 1; }
        say "unpacking the original tarball only: $(basename "$orig")"
        tar -xf "$orig" -C qrencode-get
    fi
    mv "$(find qrencode-get -mindepth 1 -maxdepth 1 -type d -name 'qrencode-*')" qrencode-src
    rm -rf qrencode-get
fi
say "building libqrencode"
rm -rf qrencode-build
PKG_CONFIG_LIBDIR=/nonexistent cmake -S qrencode-src -B qrencode-build -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$cache/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" "${qrencode_options[@]}" \
    -DCMAKE_POLICY_DEFAULT_CMP0077=NEW >qrencode.log 2>&1 ||
    { tail -20 qrencode.log >&2; exit 1; }
nice -n 10 cmake --build qrencode-build --parallel "$jobs" >>qrencode.log 2>&1 ||
    { tail -20 qrencode.log >&2; exit 1; }
cmake --install qrencode-build >>qrencode.log 2>&1

copy_boost
echo "$stamp_want" >"$prefix/.stamp"
say "done in $(($(date +%s) - start)) s, $(du -sh "$prefix" | cut -f1) installed"
echo "$prefix"
