#!/usr/bin/env bash
# The main job: set up, build, and show the client at work.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" release
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "--- orvaneftp with a rolling, timestamped log (rollover at 4000 bytes)"
for i in 1 2 3; do
  "$root/build/bin/orvaneftp" -log "$out/demo.log" -append 4000 "-demo-option-$i" -s:/nonexistent/cmds.txt || true
done
cat "$out/demo.log"
