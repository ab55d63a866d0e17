#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root).
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev uuid-dev libasound2-dev libjack-jackd2-dev qt6-base-dev libxcb1-dev
)
if [ "${1:-}" = "--test" ]; then
  # The ALSA tests boot a small VM with Debian's own kernel (no sound support on the host); its
  # udev makes the /dev/serial/by-id links of the USB suite's boards.
  packages+=(qemu-system-x86 busybox-static kmod xz-utils alsa-utils udev)
  # The cross-built suites run in an emulated arm64 and armhf VM (scripts/cross-build.sh --tests).
  packages+=(qemu-system-arm)
  # The JACK tests start a real jackd (dummy driver) on the host, and again a headless PipeWire
  # (its dummy driver) with WirePlumber and a session bus, through PipeWire's libjack.
  packages+=(jackd2 pipewire pipewire-jack wireplumber dbus-daemon)
  # The tray test: a real X server and real panels with a tray (an X tray, and one that hosts
  # StatusNotifier icons on a session bus), started after the program.
  packages+=(xvfb icewm wmctrl x11-utils xfce4-panel libglib2.0-bin)
  # The Debian packages are built, checked (lintian, the AppStream metainfo) and installed into a
  # clean root.
  packages+=(debhelper lintian debootstrap appstream)
  # The fuzz targets (scripts/fuzz.sh): clang with libFuzzer and the sanitizer runtimes.
  packages+=(clang-14 libclang-rt-14-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
