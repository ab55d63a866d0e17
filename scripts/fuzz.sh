#!/bin/bash
# Builds the libFuzzer targets with clang-14 (ASan+UBSan) and runs each from the checked-in
# corpus for a short time: about 45 s of fuzzing in all. New findings go to a scratch folder,
# never into fuzz/corpus. Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] (default 15)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-15}
build=build-fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSARYN_FUZZ=ON -DTESSARYN_SANITIZE=address -DTESSARYN_QT=OFF -DTESSARYN_ALSA=OFF \
  -DTESSARYN_BENCH=OFF -DTESSARYN_TESTS=OFF ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER} >/dev/null
cmake --build "$build" --target preferences_fuzz command_line_fuzz midi_stream_fuzz
status=0
for target in preferences command_line midi_stream; do
  scratch=$(mktemp -d)
  log="$build/$target.log"
  if "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
      -artifact_prefix="$build/$target-" "$scratch" "fuzz/corpus/$target" >"$log" 2>&1; then
    echo "$target: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$log" | tail -1)"
  else
    echo "$target: FAILED (artifact and log in $build/)"; tail -40 "$log"; status=1
  fi
  rm -rf "$scratch" /dev/shm/tessaryn-fuzz-*
done
exit $status
