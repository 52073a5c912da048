#!/usr/bin/env bash
# Renders the main window, the version dialog and the tray menu from the built-in skin, and the
# edit controls' test window with its lists, on a virtual X display and writes them as PNG pictures,
# once per screen scale (1, 1.5 and 2, or those in SCALES) into OUT_DIR/x<scale>/.
#   scripts/screenshot-skin.sh [OUT_DIR]      default OUT_DIR: build/screenshots
# Builds test_skin in BUILD_DIR (default build) first; needs xvfb (xvfb-run).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
OUT_DIR=$(realpath -m "${1:-$BUILD_DIR/screenshots}")
cmake -S . -B "$BUILD_DIR" -G Ninja >/dev/null
ninja -C "$BUILD_DIR" -j2 test_skin >/dev/null
for scale in ${SCALES:-1 1.5 2}; do
  mkdir -p "$OUT_DIR/x$scale"
  TESSALI_SKIN_SHOTS="$OUT_DIR/x$scale" QT_SCALE_FACTOR=$scale QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 1600x1200x24 -dpi 96" "$BUILD_DIR/tests/gui/test_skin" \
    --gtest_filter='SkinRender.WriteScreenshotsWhenAsked:SkinEditsWindow.WriteScreenshotsWhenAsked' >/dev/null
done
ls -1 "$OUT_DIR"/x*/*.png
