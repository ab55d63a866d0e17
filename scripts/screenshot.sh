#!/usr/bin/env bash
# Draws the README's pictures of the window and the tray icon: scripts/screenshot.sh [DIR]
# (default docs/). Uses Qt's offscreen platform, so it needs no display.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs}")
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target window_shot
QT_QPA_PLATFORM=offscreen ./build/tools/window_shot "$out"
