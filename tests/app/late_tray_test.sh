#!/usr/bin/env bash
# Autostart at login can run before the panel: the desktop program started minimized on a real X
# server with no tray yet, then a real panel with a tray. With an X tray (icewm), the icon must
# come with the tray, and closing the window must then leave the program running. With a panel
# that also hosts StatusNotifier icons over D-Bus (xfce4-panel), the icon must come that way, the
# only one a Wayland or GNOME panel takes. MIDI through a JACK server of the test's own. Exits 77
# (skipped) when a tool is missing.
# Usage: late_tray_test.sh TESSARYN
set -euo pipefail
exe=$1
for tool in Xvfb icewm wmctrl xwininfo jackd jack_wait dbus-daemon gdbus xfce4-panel; do command -v $tool >/dev/null || exit 77; done
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; wait; rm -rf "$work"' EXIT
mkdir -m 700 "$work/run"
export HOME=$work XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config JACK_NO_AUDIO_RESERVATION=1
export JACK_DEFAULT_SERVER=late-tray-$$

# Waits up to 20 s for a condition; says which one never came.
until_() {
  for _ in $(seq 200); do "$@" && return 0; sleep 0.1; done
  echo "never: $*" >&2
  exit 1
}
tree_has() { xwininfo -root -tree | grep -A2 "$1" | grep -q "$2"; }

Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>/dev/null &
until_ test -s "$work/display"
export DISPLAY=:$(cat "$work/display")
jackd -n "$JACK_DEFAULT_SERVER" --no-realtime -d dummy -r 48000 -p 256 >/dev/null 2>&1 &
jack_wait -s "$JACK_DEFAULT_SERVER" -w -t 20 >/dev/null 2>&1

"$exe" --midi jack --minimized >"$work/out" 2>&1 &
app=$!
until_ tree_has '"Tessaryn": ("tessaryn"' .   # its window exists, with no tray to go to
icewm >/dev/null 2>&1 &
wm=$!
until_ tree_has YXTrayEmbedder '("tessaryn"'  # the icon is in the panel's tray
until_ wmctrl -c Tessaryn                       # closed through the window manager
until_ eval '! wmctrl -l | grep -q Tessaryn'
sleep 1  # nothing to wait for when nothing must happen: time enough to quit, were it to
kill -0 $app || { echo "closing the window quit the program:" >&2; cat "$work/out" >&2; exit 1; }
kill -TERM $app
wait $app || { echo "SIGTERM: exit $?" >&2; cat "$work/out" >&2; exit 1; }

kill $wm
dbus-daemon --session --nofork --address="unix:path=$XDG_RUNTIME_DIR/bus" >/dev/null 2>&1 &
export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
until_ test -S "$XDG_RUNTIME_DIR/bus"
"$exe" --midi jack --minimized >"$work/out" 2>&1 &
app=$!
until_ tree_has '"Tessaryn": ("tessaryn"' .
xfce4-panel --disable-wm-check >/dev/null 2>&1 &
# The icon is registered with the panel's StatusNotifier watcher by the program's connection.
registered() {
  local bus=(gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus)
  for name in $(gdbus call --session -d org.kde.StatusNotifierWatcher -o /StatusNotifierWatcher \
      -m org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher \
      RegisteredStatusNotifierItems 2>/dev/null | grep -o ':[0-9.]*'); do
    "${bus[@]}" -m org.freedesktop.DBus.GetConnectionUnixProcessID "$name" | grep -q " $app," && return 0
  done
  return 1
}
until_ registered
kill -TERM $app
wait $app || { echo "SIGTERM: exit $?" >&2; cat "$work/out" >&2; exit 1; }
