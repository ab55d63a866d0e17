#!/usr/bin/env bash
# Builds the Debian packages, checks them with lintian, installs them into a clean Debian 12 root,
# runs the program there as a user would, then purges them and checks that nothing is left; last,
# the README's install-and-build step there proves that scripts/install-deps.sh names every
# package the build needs.
# Usage: scripts/package-test.sh [OUT_DIR]   (default: build-deb; run as root)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-deb}")
version=$(sed -nE 's/^project\(tessaryn VERSION ([^ ]+).*/\1/p' CMakeLists.txt)

bash scripts/deb-build.sh "$out"
changes=("$out"/tessaryn_"$version"_*.changes)
echo "Built: $(cd "$out" && echo *.deb)"

echo "lintian:"
lintian --pedantic --fail-on error,warning,info,pedantic "${changes[0]}" ||
  { echo "lintian reports the tags above"; exit 1; }

# Software centres read the metainfo; its release is the one being packaged.
meta=$(mktemp -d "$out/meta.XXXXXX")
dpkg-deb -x "$out"/tessaryn-desktop_"$version"_*.deb "$meta"
metainfo=$meta/usr/share/metainfo/org.tessaryn.tessaryn.metainfo.xml
appstreamcli validate --no-net --pedantic "$metainfo" || { echo "the metainfo does not validate"; exit 1; }
grep -q "<release version=\"$version\"" "$metainfo" || { echo "the metainfo lacks release $version"; exit 1; }
rm -rf "$meta"
echo "  appstreamcli validate: ok"

# A clean root from the cache; the host's Debian sources (with updates and security), a shared
# download cache, and /proc for the program.
tarball=$(bash scripts/clean-root.sh)
archives=$(dirname "$tarball")/archives
mkdir -p "$archives/partial"
root=$(mktemp -d "$out/root.XXXXXX")
cleanup() {
  umount "$root/proc" "$root/var/cache/apt/archives" 2>/dev/null || true
  # Never through a bind mount that did not come off: it is the host's own package cache.
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
tar -C "$root" -xf "$tarball"
[ -f /etc/apt/sources.list.d/debian.sources ] &&
  cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/" && : >"$root/etc/apt/sources.list"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount --bind "$archives" "$root/var/cache/apt/archives"
mount -t proc proc "$root/proc"
# No services start in the root.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod +x "$root/usr/sbin/policy-rc.d"
cp "$out"/*.deb "$root/tmp/"
headless=/tmp/$(cd "$out" && echo tessaryn_"$version"_*.deb)
desktop=/tmp/$(cd "$out" && echo tessaryn-desktop_"$version"_*.deb)
jack=/tmp/$(cd "$out" && echo tessaryn-jack_"$version"_*.deb)

in_root() {
  chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 HOME=/root \
    DEBIAN_FRONTEND=noninteractive "$@"
}
# Every file and link outside what apt and dpkg keep for themselves, and /dev/shm, where libjack
# keeps its runtime database (cleared at boot; on a real system a tmpfs).
files() {
  in_root find / -xdev \( -path /proc -o -path /tmp -o -path /dev/shm -o -path /var/cache/apt -o -path /var/lib/apt \
    -o -path /var/lib/dpkg -o -path /var/log -o -path /var/cache/debconf -o -path /var/cache/ldconfig \
    -o -path /var/cache/man \) -prune \
    -o \( -type f -o -type l \) -print | sort
}

in_root apt-get update -qq
files >"$out/files-before"
in_root apt-get install -y -qq --no-install-recommends \
  "$headless" >"$out/install.log"
for lib in 'libqt6*' 'libjack*'; do
  [ -z "$(in_root dpkg-query -W -f='${Status}\n' "$lib" 2>/dev/null | grep ' installed')" ] ||
    { echo "the headless package pulled in $lib"; exit 1; }
done

echo "In the clean root:"
got=$(in_root tessaryn --version)
[ "$got" = "tessaryn $version" ] || { echo "--version printed '$got', not 'tessaryn $version'"; exit 1; }
echo "  $got"
in_root tessaryn --help | grep -q -- '--list-ports' || { echo "--help lacks --list-ports"; exit 1; }
in_root tessaryn --list-ports >/dev/null
for f in /usr/share/man/man1/tessaryn.1.gz /usr/share/bash-completion/completions/tessaryn \
  /usr/lib/systemd/user/tessaryn.service /usr/share/doc/tessaryn/copyright; do
  [ -e "$root$f" ] || { echo "missing $f"; exit 1; }
done
echo "  tessaryn --version, --help, --list-ports: ok"
# Installed for each user to enable, not enabled for everyone; the system unit neither.
enabled=$(find "$root/etc/systemd" -name 'tessaryn*' 2>/dev/null || true)
[ -z "$enabled" ] || { echo "installing enabled units: $enabled"; exit 1; }
[ -e "$root/lib/systemd/system/tessaryn-system@.service" ] || { echo "missing tessaryn-system@.service"; exit 1; }
for f in README.md.gz changelog.gz; do
  [ -e "$root/usr/share/doc/tessaryn/$f" ] || { echo "missing /usr/share/doc/tessaryn/$f"; exit 1; }
done
echo "  units installed, none enabled; README and changelog installed: ok"
# The autopkgtest's commands, as a user without a home or a login would run them.
sed -n 's/^Test-Command: //p' debian/tests/control | while IFS= read -r cmd; do
  in_root setpriv --reuid=65534 --regid=65534 --clear-groups sh -c "$cmd" >/dev/null ||
    { echo "the autopkgtest '$cmd' fails"; exit 1; }
done
echo "  debian/tests/control: ok"
in_root man -P cat tessaryn 2>/dev/null | grep -q -- '--list-ports' || { echo "man tessaryn fails"; exit 1; }
got=$(in_root bash -c 'source /usr/share/bash-completion/completions/tessaryn
  COMP_WORDS=(tessaryn --po); COMP_CWORD=1; _tessaryn; echo "${COMPREPLY[*]}"')
[ "$got" = "--port" ] || { echo "tessaryn --po<TAB> gives '$got'"; exit 1; }
echo "  man tessaryn, tessaryn --po<TAB>: ok"

# --midi jack names what is missing and exits 1: first the package, then a running server.
jack_says() {
  set +e
  got=$(in_root tessaryn --midi jack --list-midi 2>&1)
  code=$?
  set -e
  [ $code -eq 1 ] && grep -q "$1" <<<"$got" || { echo "--midi jack exited $code: $got"; exit 1; }
}
jack_says 'install the package tessaryn-jack'
in_root apt-get install -y -qq --no-install-recommends "$jack" >>"$out/install.log"
jack_says 'start one with'
echo "  tessaryn-jack: loads, says that no JACK server runs: ok"

in_root apt-get install -y -qq --no-install-recommends \
  "$desktop" >>"$out/install.log"
# The installed executable finds the installed window module: the window starts (and keeps
# running until the timeout) instead of reporting that it cannot be loaded.
set +e
mkdir -m 700 "$root/tmp/runtime"
in_root env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/runtime timeout 5 tessaryn >"$out/desktop.log" 2>&1
code=$?
set -e
[ $code -eq 124 ] || { echo "the desktop program exited with $code:"; cat "$out/desktop.log"; exit 1; }
echo "  the desktop window loads from /usr/lib/tessaryn: ok"

in_root apt-get purge -y -qq --autoremove tessaryn tessaryn-desktop tessaryn-jack \
  >>"$out/install.log"
files >"$out/files-after"
if ! diff -u "$out/files-before" "$out/files-after"; then
  echo "purging left files behind (above)"
  exit 1
fi
echo "  purged; nothing left behind"

# The README's first command, as on a fresh machine: install what the build needs, build the
# program and start it (here only to print its version).
tar --exclude='./build*' --exclude=./.git --exclude='./obj-*' -C . -c . | (mkdir "$root/src" && tar -x -C "$root/src")
in_root bash /src/scripts/run.sh --version >"$out/readme-build.log" 2>&1 ||
  { tail -n 40 "$out/readme-build.log"; echo "scripts/run.sh failed in a clean root"; exit 1; }
got=$(tail -n 1 "$out/readme-build.log")
[ "$got" = "tessaryn $version" ] || { echo "scripts/run.sh --version printed '$got'"; exit 1; }
echo "  scripts/run.sh in a clean root (install-deps.sh, build, start): ok"
