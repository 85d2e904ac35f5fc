#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time over its seeds: run_fuzz.sh BINARY CORPUS SEEDS SECONDS
set -euo pipefail
bin=$1 corpus=$2 seeds=$3 seconds=$4
mkdir -p "$corpus"
dirs=("$corpus")
[ -d "$seeds" ] && dirs+=("$seeds")
exec "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 "${dirs[@]}"
