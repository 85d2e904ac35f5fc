#!/usr/bin/env bash
# Runs every test: the release build, the same tests under ASan+UBSan, the thread tests under
# TSan, and the fuzz targets for a bounded time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
status=0
run() { echo "=== $*"; "$@" || status=1; }
jobs=$(nproc)
"$root/scripts/build.sh" release
run ctest --test-dir "$root/build" --output-on-failure -j"$jobs"
"$root/scripts/build.sh" asan
run env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$root/build-asan" --output-on-failure -j"$jobs"
"$root/scripts/build.sh" tsan
run env TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$root/build-tsan" --output-on-failure -L threads
"$root/scripts/build.sh" fuzz
run ctest --test-dir "$root/build-fuzz" --output-on-failure -L fuzz --no-tests=ignore
if [ $status -eq 0 ]; then echo "ALL TEST SUITES PASSED"; else echo "SOME TEST SUITES FAILED"; fi
exit $status
