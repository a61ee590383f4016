#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz and runs every target for
# SECONDS each (default 300), two side by side.
#   scripts/fuzz.sh [SECONDS]      build, then fuzz
#   scripts/fuzz.sh --build-only   build only (scripts/test.sh uses this)
# Each target keeps what it learned in build-fuzz/runs/<target>/corpus and
# writes crashing inputs to build-fuzz/runs/<target>/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLMAR_BUILD_FUZZ=ON -DQUILLMAR_BUILD_APP=OFF -DQUILLMAR_BUILD_TESTS=OFF \
  -DQUILLMAR_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD_DIR" -j 2
if [ "${1:-}" = --build-only ]; then exit 0; fi

seconds=${1:-300}
targets=(id3v1 id3v2 mpeg wav pipeline rewrites journal)
results="$BUILD_DIR/runs/results"
mkdir -p "$results"
rm -f "$results"/*

# At most two at a time: the machine has two cores.
running=0
for target in "${targets[@]}"; do
  if [ $running -ge 2 ]; then
    wait -n || true
    running=$((running - 1))
  fi
  (
    if bash fuzz/run-target.sh "$target" "$seconds" "$BUILD_DIR" "$BUILD_DIR/runs/$target" >"$results/$target" 2>&1
    then echo ok >>"$results/$target"
    fi
  ) &
  running=$((running + 1))
done
wait

failed=0
for target in "${targets[@]}"; do
  if grep -qx ok "$results/$target"; then
    grep -v -x ok "$results/$target"
  else
    cat "$results/$target"
    failed=1
  fi
done
exit $failed
