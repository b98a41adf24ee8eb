#!/bin/sh
# Runs every built fuzz target for a bounded time on its seed corpus.
# Usage: fuzz/run-fuzzers.sh SECONDS [TARGET...]
# FUZZ_RUNS=N also ends each target after N executions, whichever limit comes first.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
bin="$top/build-fuzz/fuzz"
work="$top/build-fuzz/corpus"
targets=${*:-$(cd "$bin" && ls fuzz_* 2>/dev/null | grep -v '\.' )}
status=0
for target in $targets; do
  name=${target#fuzz_}
  mkdir -p "$work/$name"
  seeds="$top/fuzz/corpus/$name"
  [ -d "$seeds" ] && cp -n "$seeds"/* "$work/$name/" 2>/dev/null || true
  log="$work/$name.log"
  if "$bin/$target" -max_total_time="$seconds" -runs="${FUZZ_RUNS:--1}" -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/$name-" "$work/$name" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
    echo "fuzz_$name: ok, ${runs:-?} executions in ${took:-$seconds}s"
  else
    echo "fuzz_$name: FAILED, see $log"
    tail -n 40 "$log"
    status=1
  fi
done
exit $status
