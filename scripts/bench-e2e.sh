#!/usr/bin/env bash
# Builds the program and runs the end-to-end benchmark inside the ALSA test VM: the whole table,
# then where a note's time goes on its way from the device to MIDI (a second build of the
# program with stage timestamps compiled in) and the system calls it costs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --test
command -v strace >/dev/null || apt-get install -y --no-install-recommends strace
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target tessaryn bench_e2e
cmake -S . -B build/stages -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARYN_STAGE_TIMES=ON \
  -DTESSARYN_QT=OFF -DTESSARYN_TESTS=OFF -DTESSARYN_BENCH=OFF >/dev/null
cmake --build build/stages --target tessaryn
exe=$(pwd)/build/src/cli/tessaryn
TESSARYN_VM_TIMEOUT=1200 bash scripts/alsa-vm.sh build sh -c "
  ./bench/bench_e2e $exe &&
  ./bench/bench_e2e $(pwd)/build/stages/src/cli/tessaryn latency quiet stages &&
  ./bench/bench_e2e $exe latency quiet syscalls"
