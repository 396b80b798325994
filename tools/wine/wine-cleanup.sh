#!/bin/bash
# Ends the Wine session of one build tree: its TLS front, its wineserver with
# every program still running in the prefix (a test cut short by CTest leaves
# its programs there, and they may hold the publisher's port), its virtual
# display if the set-up started one, and the session's watchdog.
#   wine-cleanup.sh [--locked] STATE_DIR TLS_FRONT [OWNER]
# With OWNER ("PID START", as STATE_DIR/owner holds it) it is the watchdog's
# clean-up, and ends the session only while it is still that run's.
# --locked: the caller holds the session lock (the set-up, ending leftovers).
set -u
locked=0
[ "${1:-}" = --locked ] && { locked=1; shift; }
state=$1
front=$2
owner=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/ours.sh"
[ -d "$state" ] || exit 0
if [ "$locked" = 0 ]; then
  exec 9>>"$state/session.lock"
  flock 9
fi
if [ -n "$owner" ]; then
  [ "$(cat "$state/owner" 2>/dev/null)" = "$owner" ] || exit 0  # a later run's session by now
  rm -f "$state/watchdog.pid"  # this very process, the watchdog gone on to clean up
else
  qf_end_recorded "$state/watchdog.pid" wine-watchdog.sh "$state" 9>&-
fi
[ -x "$front" ] && "$front" stop 9>&-
WINEPREFIX=$state/prefix wineserver -k 2>/dev/null 9>&-
WINEPREFIX=$state/prefix timeout "$qf_timeout" wineserver -w 2>/dev/null 9>&-
qf_end_recorded "$state/xvfb.pid" Xvfb
rm -f "$state/display" "$state/owner"
exit 0
