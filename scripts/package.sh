#!/usr/bin/env bash
# Builds a Release build of Vanterel in build-package/ and its Debian package
# (CPack's DEB generator), and prints the package's path as the last line.
#   sudo apt-get install ./build-package/vanterel_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
# dpkg-buildflags and dpkg-shlibdeps (dpkg-dev); CPack finds the programs to
# look at with file.
vanterel_install $VANTEREL_BUILD_PACKAGES dpkg-dev file

# Debian's hardening: fortified functions, stack protector, read-only
# relocations bound at start.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DVANTEREL_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >&2
cmake --build build-package -j"$(nproc)" --target vanterel vanterel-keys >&2
rm -f build-package/vanterel_*.deb
(cd build-package && cpack -G DEB) >&2
shopt -s nullglob
packages=(build-package/vanterel_*.deb)
if [ ${#packages[@]} -ne 1 ]; then
    echo "CPack made ${#packages[@]} packages, not one" >&2
    exit 1
fi
realpath "${packages[0]}"
