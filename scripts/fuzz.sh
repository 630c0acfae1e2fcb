#!/usr/bin/env bash
# Runs every fuzz target of build-fuzz/ for the given seconds each, starting from its
# seed corpus under fuzz/corpus/, and prints the executions and coverage of each.
# New inputs go to build-fuzz/corpus/<target>; a crash, hang or escape is kept as
# build-fuzz/artifacts/<target>-crash-... and fails the run.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
mkdir -p "$build/artifacts"
status=0
for target in headers_fuzz transport_fuzz session_fuzz; do
  corpus=$build/corpus/$target
  mkdir -p "$corpus"
  log=$build/$target.log
  set +e
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    "$corpus" "$root/fuzz/corpus/$target" > "$log" 2>&1
  result=$?
  set -e
  runs=$(grep -oP 'stat::number_of_executed_units: \K[0-9]+' "$log" | tail -1)
  coverage=$(grep -oP '^#[0-9]+\s+\S+\s+cov: \K[0-9]+' "$log" | tail -1)
  echo "fuzz: $target: ${runs:-?} executions in ${seconds} s, coverage ${coverage:-?} edges"
  if [ "$result" -ne 0 ]; then
    echo "fuzz: $target FAILED (exit $result); see $log"
    grep -E 'ERROR|session_fuzz:|SUMMARY|Test unit written' "$log" | head -20 || true
    status=1
  fi
done
exit $status
