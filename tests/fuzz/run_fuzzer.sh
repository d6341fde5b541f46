#!/usr/bin/env bash
# Runs one fuzz target for a bounded time from its committed seeds.
#
#   run_fuzzer.sh FUZZER NAME SECONDS SEED_DIR OUT_DIR
#
# New inputs go to OUT_DIR/corpus/NAME (never the source tree), a crashing
# input to OUT_DIR/findings/NAME-*, the log to OUT_DIR/logs/NAME.log. Prints
# libFuzzer's final statistics; fails when anything was found.
set -uo pipefail
fuzzer=$1 name=$2 seconds=$3 seeds=$4 out=$5
mkdir -p "$out/corpus/$name" "$out/findings" "$out/logs"
log=$out/logs/$name.log
rc=0
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$out/findings/$name-" "$out/corpus/$name" "$seeds" >"$log" 2>&1 || rc=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
echo "fuzz.$name: ${runs:-?} executions (limit ${seconds} s), exit code $rc"
if (( rc != 0 )); then
  grep -E '^(==[0-9]+==ERROR|SUMMARY|.*check failed|artifact_prefix|Test unit written)' "$log" | head -20
  exit 1
fi
