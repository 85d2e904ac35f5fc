#!/usr/bin/env bash
# Configures and builds one flavour: build.sh [release|asan|tsan|fuzz] (default release).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-release}
case "$flavour" in
  release) dir=build;      opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    dir=build-asan; opts=(-DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON) ;;
  tsan)    dir=build-tsan; opts=(-DCMAKE_BUILD_TYPE=Debug -DORVANE_TSAN=ON) ;;
  fuzz)    dir=build-fuzz; opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_FUZZ=ON -DORVANE_TESTS=OFF
                                 -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
shift || true
cmake -S "$root" -B "$root/$dir" -G Ninja "${opts[@]}" >/dev/null
cmake --build "$root/$dir" -j"$(nproc)" "$@"
