#!/usr/bin/env bash
# Builds the Debian packages into OUT_DIR without the suites (they run in the CI build). Since
# dpkg-buildpackage writes beside the source folder, it builds a copy in OUT_DIR/src; the log is
# OUT_DIR/build.log. Further arguments go to dpkg-buildpackage (-a ARCH for a cross build).
# Usage: scripts/deb-build.sh OUT_DIR [DPKG_BUILDPACKAGE_ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "$1")
shift
rm -rf "$out/src" "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
mkdir -p "$out/src"
tar --exclude='./build*' --exclude=./.git --exclude='./obj-*' -C . -c . | tar -x -C "$out/src"
(cd "$out/src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
  dpkg-buildpackage -us -uc -b -Pnocheck "$@" >"$out/build.log" 2>&1) ||
  { tail -n 40 "$out/build.log"; exit 1; }
