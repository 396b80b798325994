#!/bin/bash
# Prepares the Wine session of one build tree: its own prefix (created once)
# and a virtual X display when none is set.
#   wine-setup.sh STATE_DIR
set -eu
state=$1
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$state"
export WINEPREFIX=$state/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

if [ -n "${DISPLAY:-}" ]; then
  rm -f "$state/xvfb.pid"
  echo "$DISPLAY" > "$state/display"
elif [ -f "$state/xvfb.pid" ] && kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null; then
  : # the virtual display of an earlier run is still there
else
  rm -f "$state/display"
  for n in $(seq 90 150); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >"$state/xvfb.log" 2>&1 &
    echo $! > "$state/xvfb.pid"
    for _ in $(seq 100); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null || break
      sleep 0.1
    done
    if [ -e "/tmp/.X11-unix/X$n" ]; then
      echo ":$n" > "$state/display"
      break
    fi
  done
  [ -f "$state/display" ] || { echo "no virtual display could be started" >&2; exit 1; }
fi
export DISPLAY=$(cat "$state/display")

if [ ! -f "$WINEPREFIX/.quillfeed-ready" ]; then
  wineboot --init >"$state/wineboot.log" 2>&1
  wine regedit /S "$(winepath -w "$here/prefix.reg")" >>"$state/wineboot.log" 2>&1
  wineserver -w
  touch "$WINEPREFIX/.quillfeed-ready"
fi
# A prefix made before prefix.reg last changed takes in the new settings.
if ! cmp -s "$here/prefix.reg" "$WINEPREFIX/.quillfeed-prefix.reg"; then
  wine regedit /S "$(winepath -w "$here/prefix.reg")" >>"$state/wineboot.log" 2>&1
  wineserver -w
  cp "$here/prefix.reg" "$WINEPREFIX/.quillfeed-prefix.reg"
fi
# A persistent server spares every test the start of a new one. Its system
# processes (services, devices) are started here, detached from every output:
# started by a test, they would hold the test's output pipe open for as long
# as the server lives, and CTest would wait on it.
wineserver -p </dev/null >/dev/null 2>&1 || true
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
echo "Wine prefix $WINEPREFIX on display $DISPLAY"
