#!/usr/bin/env bash
# Runs the installed completion function the way bash does for `tessaryn WORDS<TAB>`.
# Usage: completion_test.sh COMPLETION_FILE TESSARYN
set -u
source "$1"
exe=$2
dev=$(mktemp -d)
trap 'rm -rf "$dev"' EXIT
mkdir -p "$dev/serial/by-id"
touch "$dev/ttyACM0" "$dev/ttyUSB1" "$dev/null"
ln -s ../../ttyUSB1 "$dev/serial/by-id/usb-FTDI_Cable-if00-port0"

failed=0
expect() {  # "expected words" words on the line (the last one is being completed)...
  local want=$1
  shift
  COMP_WORDS=("$exe" "$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _tessaryn
  local got="${COMPREPLY[*]}"
  if [ "$got" != "$want" ]; then
    echo "tessaryn $* <TAB>: got '$got', want '$want'"
    failed=1
  fi
}

expect "--port" --po
expect "--data-bits --dev-dir" --d
expect "$dev/serial/by-id/usb-FTDI_Cable-if00-port0 $dev/ttyACM0" --dev-dir "$dev" --headless --port ""
expect "$dev/ttyACM0" --dev-dir "$dev" --port "$dev/ttyA"
expect "even" --headless --parity e
expect "alsa jack" --midi ""
expect "baud=" --set ba
expect "hardwareOutID= hardwareInID=" --set hardware
exit $failed
