#!/usr/bin/env bash
# Draws the window on a virtual X server and saves it as a PNG: scripts/screenshot.sh [FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-tessaryn-window.png}")
command -v xvfb-run >/dev/null || { apt-get update; apt-get install -y --no-install-recommends xvfb xauth; }
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target window_shot
xvfb-run -a -s '-screen 0 1280x1024x24' ./build/tests/app/window_shot "$out"
