#!/usr/bin/env bash
# Installs the packages, builds the program (not the tests or benchmarks) and starts it with the
# arguments given. As root it installs and builds, but starts the desktop program only as a normal
# user: run as root, the window would write root's settings and autostart entry and talk to the
# user's desktop session as root.
set -euo pipefail
cd "$(dirname "$0")/.."

desktop=1
for arg in "$@"; do
  case $arg in
    --headless | --help | -h | --version | -V | --list-* | --set | --set=* | --settings) desktop=0 ;;
  esac
done
bash scripts/install-deps.sh

# About 1 GB per compiler job (the largest file needs ~700 MB), so a 1-2 GB board computer does
# not run out of memory; never more jobs than cores.
mem_kb=$(awk '/^MemAvailable:/ { print $2 }' /proc/meminfo)
jobs=$((mem_kb / 1048576))
[ "$jobs" -le "$(nproc)" ] || jobs=$(nproc)
[ "$jobs" -ge 1 ] || jobs=1

cmake -S . -B build -G Ninja -DTESSARYN_TESTS=OFF -DTESSARYN_BENCH=OFF >/dev/null
cmake --build build --target tessaryn -j "$jobs"
if [ "$desktop" = 1 ] && [ "$(id -u)" -eq 0 ]; then
  echo "run.sh: built $(pwd)/build/src/cli/tessaryn, but not starting the desktop program as root." >&2
  echo "Start it as your own user, in your desktop session: $(pwd)/build/src/cli/tessaryn" >&2
  echo "(headless runs, such as 'bash scripts/run.sh --headless --port /dev/ttyACM0', may run as root)" >&2
  exit 1
fi
exec ./build/src/cli/tessaryn "$@"
