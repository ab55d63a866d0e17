#!/usr/bin/env bash
# Cross-builds the headless program for a Debian architecture (arm64 for a 64-bit Raspberry Pi
# OS, armhf for a 32-bit one) with Debian's cross compilers and the target's development
# packages, installing them first (as root). With --deb, builds the packages instead
# (dpkg-buildpackage -a ARCH -Pnocheck into build-deb-ARCH, with the target's Qt and JACK).
# Usage: cross-build.sh ARCH [--deb]   (program in build-ARCH/src/cli/tessaryn)
set -euo pipefail
arch=${1:?usage: cross-build.sh ARCH [--deb]}
cd "$(dirname "$0")/.."
gnu=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
sudo=; [ "$(id -u)" -eq 0 ] || sudo=sudo
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  $sudo dpkg --add-architecture "$arch"
  $sudo apt-get update -q
fi
pkgs="crossbuild-essential-$arch cmake ninja-build pkg-config nlohmann-json3-dev
  libasound2-dev:$arch uuid-dev:$arch"
if [ "${2:-}" = --deb ]; then
  pkgs="$pkgs debhelper uuid-dev libjack-jackd2-dev:$arch qt6-base-dev:$arch"
fi
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $pkgs >/dev/null

if [ "${2:-}" = --deb ]; then
  bash scripts/deb-build.sh "build-deb-$arch" -a "$arch"
  for deb in build-deb-"$arch"/*.deb; do echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Architecture)"; done
  exit 0
fi
dir=build-$arch
PKG_CONFIG_LIBDIR=/usr/lib/$gnu/pkgconfig:/usr/share/pkgconfig \
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Linux \
  -DCMAKE_SYSTEM_PROCESSOR="$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_CPU 2>/dev/null)" \
  -DCMAKE_CXX_COMPILER="$gnu-g++" -DTESSARYN_WERROR="${TESSARYN_WERROR:-OFF}" \
  -DTESSARYN_QT=OFF -DTESSARYN_JACK=OFF -DTESSARYN_TESTS=OFF -DTESSARYN_BENCH=OFF
cmake --build "$dir" --target tessaryn tessaryn_docs -j"${JOBS:-2}"
file "$dir/src/cli/tessaryn"
