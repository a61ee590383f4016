#!/usr/bin/env bash
# Installs what is needed, builds the program, makes the demo catalogue
# under ./demo/ (kept when it is already there), points the program at it
# and opens the window.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" --target Quillmar2012

# The program reads BaseZelta.ini beside its executable.
bash scripts/make-demo.sh demo "$BUILD_DIR/app"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "Built $BUILD_DIR/app/Quillmar2012, but there is no display to open its window on."
  echo "Start it under a virtual display instead:"
  echo "  xvfb-run -a ./scripts/run-demo.sh"
  exit 0
fi
exec "$BUILD_DIR/app/Quillmar2012"
