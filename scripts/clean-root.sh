#!/usr/bin/env bash
# Prints the path of a cached, clean Debian 12 root (a tarball made once with debootstrap and
# reused by later runs on the same machine): the minimal base plus man-db, so that `man` works
# there as on a user's machine.
set -euo pipefail
cache=${TESSARYN_ROOT_CACHE:-/var/cache/tessaryn-root}
tarball=$cache/bookworm-minbase-man.tar
if [ ! -s "$tarball" ]; then
  # The mirror apt already uses here; deb.debian.org otherwise.
  mirror=$(grep -rhoE '^(URIs:|deb) +https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null |
    grep -oE 'https?://[^ ]+' | head -n1 || true)
  mirror=${mirror:-http://deb.debian.org/debian}
  mkdir -p "$cache"
  work=$(mktemp -d "$cache/debootstrap.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  debootstrap --variant=minbase --include=man-db bookworm "$work/root" "$mirror" >"$work/log" 2>&1 ||
    { tail -n 30 "$work/log" >&2; exit 1; }
  rm -rf "$work/root/var/cache/apt/archives/"*.deb
  tar -C "$work/root" -cf "$tarball.part" .
  mv "$tarball.part" "$tarball"
fi
echo "$tarball"
