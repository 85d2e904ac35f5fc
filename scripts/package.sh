#!/usr/bin/env bash
# Builds the Debian package in its own build folder (default build-package) and prints its path.
# Usage: scripts/package.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-package}
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DORVANE_TESTS=OFF >/dev/null
cmake --build "$dir" -j2 --target orvaneftp orvanesched orvane_man orvane_changelog >/dev/null
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/*.deb
