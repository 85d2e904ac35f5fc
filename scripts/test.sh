#!/usr/bin/env bash
# Runs every test: the release build, the same tests under ASan+UBSan, the thread tests under
# TSan, and the fuzz targets for a bounded time. Tests labelled "slow" (gigabytes through zlib, which
# a sanitizer does not instrument) run in the release build only. The layer check (scripts/check_layers.py) runs as a
# CTest test.
# Ends with one "N passed, N failed" line.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
suite() {
  echo "=== $*"
  "$@" 2>&1 | tee -a "$log" || status=1
}
"$root/scripts/build.sh" release
suite ctest --test-dir "$root/build" --output-on-failure -j"$jobs"
"$root/scripts/build.sh" asan
suite env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$root/build-asan" --output-on-failure -j"$jobs" -LE slow
"$root/scripts/build.sh" tsan --target orvane_thread_tests
suite env TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$root/build-tsan" --output-on-failure -L threads \
  --no-tests=ignore
"$root/scripts/build.sh" fuzz --target orvane_fuzz_targets
suite ctest --test-dir "$root/build-fuzz" --output-on-failure -L fuzz --no-tests=ignore
# ctest's summary lines: "100% tests passed, 0 tests failed out of 12"
read -r total failed < <(awk '/tests passed, [0-9]+ tests? failed out of/ {
  for (i = 1; i <= NF; i++) { if ($i == "failed") f += $(i - 2); if ($i == "of") t += $(i + 1) } }
  END { print t + 0, f + 0 }' "$log")
[ "$failed" -eq 0 ] || status=1
echo "$((total - failed)) passed, $failed failed"
exit $status
