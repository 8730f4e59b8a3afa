#!/usr/bin/env bash
# Runs each fuzzer for a bounded time on the seeds, the corpus of earlier runs
# and every finding kept in fuzz/regressions; fails on any new finding.
#   fuzz/run_fuzzers.sh [build folder of the fuzz preset] [seconds per fuzzer]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/fuzz}
seconds=${2:-60}

status=0
for program in zorpix dezorpix; do
  seeds=$build/seeds/$program
  corpus=$build/corpus/$program
  findings=$build/findings/$program
  log=$build/$program-fuzz.log
  rm -rf "$seeds"
  mkdir -p "$seeds" "$corpus" "$findings"
  "$build/fuzz/make_seeds" "$program" "$seeds"
  # Files of up to 20000 bytes hold images of some 6000 pixels: enough for every
  # layout and pass, small enough for thousands of runs a second.
  if "$build/fuzz/${program}_fuzzer" -max_total_time="$seconds" -max_len=20000 -timeout=10 \
       -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
       "$corpus" "$seeds" "fuzz/regressions/$program" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$program fuzzer: $runs runs in ${seconds} s, no finding"
  else
    status=1
    tail -n 40 "$log"
    echo "$program fuzzer: FINDING, input kept in $findings/:"
    ls -1 "$findings"
    echo "Once fixed, copy it to fuzz/regressions/$program/ so the tests replay it."
  fi
done
exit $status
