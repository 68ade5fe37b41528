#!/usr/bin/env bash
# Renders the updater's message boxes into docs/dialogs/*.png: the dialog tests run on the
# dialog prefix's X display and save each box they answer (LUMO_DIALOG_SHOTS), and ImageMagick
# turns the saved bitmaps into pictures.
#   scripts/dialogs.sh
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build}
scripts/build.sh --target test_dialogs LumoAgent QvDialogDriver
. scripts/dialog-env.sh
unset DISPLAY
trap dialog_stop EXIT
dialog_start
if [ ! -s "$DIALOG_STATE/display" ]; then
  echo "dialogs: no X display, no pictures" >&2
  exit 1
fi
shots="$DIALOG_BUILD/dialog-shots"
rm -rf "$shots"
mkdir -p "$shots" docs/dialogs
LUMO_DIALOG_SHOTS="Z:$(printf '%s' "$shots" | tr / '\\')" \
  ctest --test-dir "$BUILD_DIR" -L dialogs --output-on-failure
for bmp in "$shots"/*.bmp; do
  png="docs/dialogs/$(basename "${bmp%.bmp}").png"
  convert "$bmp" -strip "$png"
  echo "dialogs: $png"
done
