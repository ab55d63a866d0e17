#!/usr/bin/env bash
# Runs the installed completion function the way bash does for `tessaryn WORDS<TAB>`. Words are
# given as bash splits them: `--set parity=e` is `--set parity = e`.
# Usage: completion_test.sh COMPLETION_FILE TESSARYN
set -u
source "$1"
exe=$2
dev=$(mktemp -d)
trap 'rm -rf "$dev"' EXIT
mkdir -p "$dev/serial/by-id" "$dev/conf"
touch "$dev/ttyACM0" "$dev/ttyUSB1" "$dev/null"
ln -s ../../ttyUSB1 "$dev/serial/by-id/usb-FTDI_Cable-if00-port0"
by_id=$dev/serial/by-id/usb-FTDI_Cable-if00-port0

compopt() { options+=" $*"; }  # outside a completion the builtin would refuse
failed=0
while IFS='|' read -r want want_options words; do
  eval "set -- $words"
  COMP_WORDS=("$exe" "$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  options=
  _tessaryn
  got="${COMPREPLY[*]}"
  if [ "$got" != "$(eval echo "$want")" ] || [ "$options" != "$want_options" ]; then
    echo "tessaryn $words<TAB>: got '$got' '$options', want '$want' '$want_options'"
    failed=1
  fi
done <<'CASES'
--data-bits --dev-dir||--d
$by_id $dev/ttyACM0||--dev-dir "$dev" --headless --port ""
$dev/ttyACM0||--dev-dir "$dev" --port = "$dev/ttyA"
$dev/ttyACM0||--dev-dir "$dev" --set port = "$dev/ttyA"
even||--headless --parity e
none even odd||--set parity =
true false||--set holdDTR =
alsa jack||--midi ""
5 6 7 8||--set dataBits =
31250 38400||--set baud = 3
parity=even||--set parity=e
hardwareOutID= hardwareInID=| -o nospace|--set hardware
$dev/conf/| -o nospace|--config-dir "$dev/co"
CASES
exit $failed
