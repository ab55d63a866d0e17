#!/usr/bin/env bash
# Installs the packages, builds and runs every test: a normal build, an ASan+UBSan build and a
# TSan build of the suites that need them, the ALSA and USB suites inside a small VM, and the Debian
# packages installed into a clean root.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --test

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
jobs=$(nproc)

build() {  # dir sanitizer
  # Sanitizer builds leave out the window and the benchmarks: neither runs there.
  local full=$([ -z "$2" ] && echo ON || echo OFF)
  # Tests on explicitly: scripts/run.sh configures the same build folder without them.
  cmake -S . -B "$1" -G Ninja -DTESSARYN_WERROR=$werror -DTESSARYN_SANITIZE="$2" \
    -DTESSARYN_TESTS=ON -DTESSARYN_BENCH=$full -DTESSARYN_QT=$full >/dev/null
  cmake --build "$1" -j "$jobs"
}

build build ""
# Includes the JACK suites, twice: each starts a jackd of its own under a unique name, then a
# PipeWire of its own in a fresh runtime folder, used through PipeWire's libjack.
ctest --test-dir build --output-on-failure -LE 'alsa|usb' -j "$jobs"

build build-asan address
ctest --test-dir build-asan --output-on-failure -L 'unit|serial|engine|jack' -j "$jobs"

build build-tsan thread
ctest --test-dir build-tsan --output-on-failure -L 'serial|engine|jack' -j "$jobs"

# The fuzz targets, from their checked-in corpus, for a few seconds each.
bash scripts/fuzz.sh 10

# ALSA and USB: this machine's kernel has neither sound support nor the USB gadget, so one VM boot
# runs every ALSA test and the real USB boards.
bash scripts/alsa-vm.sh build ctest -L 'alsa|usb' --output-on-failure

# The packages: built with the Debian tools, lintian, installed, run and purged in a clean root.
bash scripts/package-test.sh build-deb

# The Raspberry Pi: the packages cross-built for 64-bit Raspberry Pi OS as Debian's tools do; for
# the 64- and the 32-bit one, the headless program and the suites that need no JACK or USB, built
# with the project's warnings and run on an emulated ARM CPU with the ALSA sequencer.
bash scripts/cross-build.sh arm64 --deb
TESSARYN_WERROR=$werror bash scripts/cross-build.sh arm64 --tests
TESSARYN_WERROR=$werror bash scripts/cross-build.sh armhf --tests
