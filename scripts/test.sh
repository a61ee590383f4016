#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
# The fuzz targets first (their own clang configuration), so that the main
# build registers a short run of each as a test.
export FUZZ_BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}
bash scripts/fuzz.sh --build-only
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLMAR_FUZZ_BUILD_DIR="$(realpath "$FUZZ_BUILD_DIR")" >/dev/null
cmake --build "$BUILD_DIR"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" "$@"
