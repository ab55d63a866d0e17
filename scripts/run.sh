#!/usr/bin/env bash
# Installs the packages, builds and starts the program with the arguments given.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"
exec ./build/src/cli/tessaryn "$@"
