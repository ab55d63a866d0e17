#!/usr/bin/env bash
# Builds the program and runs the end-to-end benchmark inside the ALSA test VM.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --test
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target tessaryn bench_e2e
TESSARYN_VM_TIMEOUT=1200 bash scripts/alsa-vm.sh build ./bench/bench_e2e "$(pwd)/build/src/cli/tessaryn"
