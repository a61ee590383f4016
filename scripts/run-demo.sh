#!/usr/bin/env bash
# Installs what is needed, builds the program, and opens it on the demo
# catalogue.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR"
echo "Built $BUILD_DIR/app/Quillmar2012. The window and the demo catalogue are not there yet."
