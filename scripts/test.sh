#!/usr/bin/env bash
# Builds everything and runs the whole test suite under Wine in the build's private prefix.
#   scripts/test.sh [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build}
scripts/build.sh
. scripts/wine-env.sh
. scripts/dialog-env.sh
# Every test but the dialog tests relies on message boxes failing at once for want of a display.
unset DISPLAY
trap 'dialog_stop; wine_stop' EXIT
wine_start
dialog_start
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" "$@"
