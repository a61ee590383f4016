#!/usr/bin/env bash
# The tests of the run (several songs saved at once, the command line's
# stops, the catalogue lost on the way) built with ThreadSanitizer in
# build-tsan (or $TSAN_BUILD_DIR) and run there. Any data race ends the
# test that met it as failed. The catalogue engine (libfbclient) and Qt are
# not built with the sanitizer: scripts/tsan.supp names what of theirs is
# left out.
#
#   bash scripts/tsan.sh [CTEST OPTION]...
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD_DIR=${TSAN_BUILD_DIR:-build-tsan}
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$BUILD_DIR" --target job_tests app_tests Quillmar2012
export QT_QPA_PLATFORM=offscreen
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp ${TSAN_OPTIONS:-}"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" -L run "$@"
