#!/usr/bin/env bash
# Runs one fuzz target on its seeds for a while:
#   fuzz/run-target.sh [--fresh] TARGET SECONDS FUZZ_BUILD_DIR WORK_DIR
# TARGET is id3v1, id3v2, mpeg, wav, pipeline or rewrites. New inputs the fuzzer finds
# go to WORK_DIR/corpus (kept between runs unless --fresh), crashing inputs
# to WORK_DIR/findings; the committed seeds in fuzz/corpus are only read.
# Prints the execution count; exits non-zero when the run found something.
set -euo pipefail
fresh=no
if [ "${1:-}" = --fresh ]; then fresh=yes; shift; fi
if [ $# -ne 4 ]; then
  echo "usage: $0 [--fresh] TARGET SECONDS FUZZ_BUILD_DIR WORK_DIR" >&2
  exit 2
fi
target=$1 seconds=$2 build=$3 work=$4
seeds="$(cd "$(dirname "$0")" && pwd)/corpus/$target"
binary="$build/fuzz/fuzz_$target"
if [ ! -x "$binary" ]; then
  echo "fuzz_$target: not built in $build" >&2
  exit 2
fi

# Inputs longer than the formats need only slow the search down.
case $target in
  id3v1) max_len=512 ;;
  wav) max_len=1024 ;;
  id3v2) max_len=8192 ;;
  *) max_len=16384 ;;
esac

if [ $fresh = yes ]; then rm -rf "$work"; fi
mkdir -p "$work/corpus" "$work/findings"
log="$work/log.txt"
status=0
"$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=$max_len \
  -dict="$build/fuzz/$target.dict" -artifact_prefix="$work/findings/" -print_final_stats=1 \
  "$work/corpus" "$seeds" >"$log" 2>&1 || status=$?

runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log")
echo "fuzz_$target: ${runs:-?} executions in $seconds s (log: $log)"
if [ $status -ne 0 ]; then
  echo "fuzz_$target: FINDING (exit status $status)"
  grep -E 'FINDING|ERROR|SUMMARY|Test unit written' "$log" | head -20 || true
  exit 1
fi
