#!/usr/bin/env bash
# Builds the Debian package in its own build folder (default build-package) and prints its path.
# Usage: scripts/package.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-package}
# Debian's hardening flags (fortified functions, full RELRO, stack protector), as a packaged
# build of Debian's own would have them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
cflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DORVANE_TESTS=OFF "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_C_FLAGS=$cflags" \
    "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$dir" -j2 --target orvaneftp orvanesched orvane_man orvane_changelog >/dev/null
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/*.deb
