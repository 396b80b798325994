#!/bin/bash
# Ends the Wine session of one build tree: its wineserver and, if the setup
# started one, its virtual display.
#   wine-cleanup.sh STATE_DIR
set -u
state=$1
WINEPREFIX=$state/prefix wineserver -k 2>/dev/null
if [ -f "$state/xvfb.pid" ]; then
  kill "$(cat "$state/xvfb.pid")" 2>/dev/null
  rm -f "$state/xvfb.pid" "$state/display"
fi
exit 0
