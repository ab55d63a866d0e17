#!/usr/bin/env bash
# Draws the README's pictures of the window and the tray icon: scripts/screenshot.sh [DIR]
# (default docs/), and the launcher's PNG icons in packaging/icons. Uses Qt's offscreen platform,
# so it needs no display.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs}")
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target window_shot
export QT_QPA_PLATFORM=offscreen
./build/tools/window_shot "$out"
QT_SCALE_FACTOR=1.5 ./build/tools/window_shot "$out" --scaled
./build/tools/window_shot packaging/icons --icons
