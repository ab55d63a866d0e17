#!/usr/bin/env bash
# Cross-builds the headless program for a Debian architecture (arm64 for a 64-bit Raspberry Pi
# OS, armhf for a 32-bit one) with Debian's cross compilers and the target's development
# packages, installing them first (as root). With --deb, builds the packages instead
# (dpkg-buildpackage -a ARCH -Pnocheck into build-deb-ARCH, with the target's Qt and JACK). With
# --tests, builds the suites too and runs those that need no JACK or USB on an emulated CPU of
# the target's (scripts/alsa-vm.sh --arch ARCH), with the ALSA sequencer.
# Usage: cross-build.sh ARCH [--deb|--tests]   (program in build-ARCH/src/cli/tessaryn)
set -euo pipefail
arch=${1:?usage: cross-build.sh ARCH [--deb|--tests]}
mode=${2:-}
cd "$(dirname "$0")/.."
gnu=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
sudo=; [ "$(id -u)" -eq 0 ] || sudo=sudo
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  $sudo dpkg --add-architecture "$arch"
  $sudo apt-get update -q
fi
pkgs="crossbuild-essential-$arch cmake ninja-build pkg-config nlohmann-json3-dev
  libasound2-dev:$arch uuid-dev:$arch"
tests=OFF targets="tessaryn tessaryn_docs"
if [ "$mode" = --tests ]; then
  # The cross compiler links its own libstdc++; the target runs the one of its architecture.
  pkgs="$pkgs libgtest-dev:$arch libstdc++6:$arch qemu-system-arm"
  tests=ON
elif [ "$mode" = --deb ]; then
  pkgs="$pkgs debhelper uuid-dev libjack-jackd2-dev:$arch qt6-base-dev:$arch libxcb1-dev:$arch"
fi
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $pkgs >/dev/null

if [ "$mode" = --deb ]; then
  bash scripts/deb-build.sh "build-deb-$arch" -a "$arch"
  for deb in build-deb-"$arch"/*.deb; do echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Architecture)"; done
  exit 0
fi
dir=build-$arch
PKG_CONFIG_LIBDIR=/usr/lib/$gnu/pkgconfig:/usr/share/pkgconfig \
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Linux \
  -DCMAKE_SYSTEM_PROCESSOR="$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_CPU 2>/dev/null)" \
  -DCMAKE_CXX_COMPILER="$gnu-g++" -DTESSARYN_WERROR="${TESSARYN_WERROR:-OFF}" \
  -DTESSARYN_QT=OFF -DTESSARYN_JACK=OFF -DTESSARYN_TESTS=$tests -DTESSARYN_BENCH=OFF
suites=
[ "$mode" != --tests ] ||
  suites=$(ctest --test-dir "$dir" -N -L '^(unit|serial|engine|alsa)$' | awk '/Test +#/ {print $3}')
# shellcheck disable=SC2086
cmake --build "$dir" --target $targets $suites -j"${JOBS:-2}"
file "$dir/src/cli/tessaryn"
if [ "$mode" = --tests ]; then
  # ctest is a host program: the VM runs each suite itself, ctest's skip code (77) included.
  bash scripts/alsa-vm.sh --arch "$arch" "$dir" sh -c '
    failed=
    for suite in '"$(echo $suites)"'; do
      exe=$(ls tests/*/$suite)
      start=$(date +%s)
      timeout 900 "$exe" --gtest_brief=1; rc=$?
      echo "$suite: exit $rc after $(($(date +%s) - start)) s"
      [ $rc = 0 ] || [ $rc = 77 ] || failed="$failed $suite"
    done
    [ -z "$failed" ] || { echo "failed on '"$arch"':$failed"; exit 1; }'
fi
