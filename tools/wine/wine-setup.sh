#!/bin/bash
# Prepares the Wine session of one build tree: its own prefix (created once,
# 64-bit with 32-bit support) and a virtual X display of its own when none is
# set. The loader is the build tree's: /usr/lib/wine/wine for 32-bit programs,
# /usr/lib/wine/wine64 for 64-bit ones (never Debian's wrapper, which picks
# the 32-bit loader whenever wine32 is installed, even where it cannot run).
#   wine-setup.sh STATE_DIR LOADER SESSION_SCRIPT TLS_FRONT PUBLISHER_PORT
# Exit code 77 (skipped) when the loader is the 32-bit one and this machine
# cannot run 32-bit programs; the reason goes to STATE_DIR/unavailable, where
# wine-run finds it.
#
# The session belongs to the process that set it up (CTest, or the script
# that called "wine-session setup"): STATE_DIR/owner names it, and a watchdog
# ends the session once that process has gone, however it went (a run stopped
# early, interrupted or killed). What an earlier run of this tree left behind
# is ended here first.
set -eu
state=$1
loader=$2
session=$3
front=$4
publisher_port=$5
here=$(cd "$(dirname "$0")" && pwd)
source "$here/ours.sh"
mkdir -p "$state"
export WINEPREFIX=$state/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINELOADER=$loader

# One set-up or clean-up of the tree at a time: a watchdog's clean-up of the
# run before is over before this one starts. Nothing started from here may
# keep the lock's descriptor (9>&-), or the lock would outlive the set-up.
exec 9>>"$state/session.lock"
flock 9
owner=$PPID
earlier=$(qf_recorded "$state/owner") || true
if [ -n "$earlier" ] && [ "$earlier" != "$owner" ]; then
  echo "this tree's Wine session belongs to process $earlier ($(qf_cmdline "$earlier")), which still runs: wait for it, or end the session with $session cleanup" >&2
  exit 1
elif [ -z "$earlier" ]; then
  [ -f "$state/owner" ] && echo "ending what an earlier run of this tree left behind"
  bash "$here/wine-cleanup.sh" --locked "$state" "$front" 9>&-
fi

rm -f "$state/unavailable"
if [ "$(basename "$loader")" = wine ] && ! reason=$(bash "$here/i386-check.sh"); then
  echo "$reason" > "$state/unavailable"
  echo "32-bit suite skipped: $reason"
  exit 77
fi
[ -x "$loader" ] || { echo "Wine's loader $loader is missing: run scripts/setup.sh" >&2; exit 1; }

if [ "$earlier" != "$owner" ]; then
  qf_record "$state/owner" "$owner"
  read -r owner_pid owner_start <"$state/owner"
  setsid bash "$here/wine-watchdog.sh" "$state" "$session" "$owner_pid" "$owner_start" </dev/null >>"$state/watchdog.log" 2>&1 9>&- &
  qf_record "$state/watchdog.pid" $!
fi

if [ -n "${DISPLAY:-}" ]; then
  rm -f "$state/xvfb.pid"
  echo "$DISPLAY" > "$state/display"
elif qf_recorded "$state/xvfb.pid" Xvfb >/dev/null; then
  : # the display of this session, set up earlier by the same owner
else
  # Xvfb picks a free display number itself and writes it once it accepts
  # connections, so two build trees starting at once never take the same one.
  rm -f "$state/display"
  : > "$state/display.new"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp </dev/null >"$state/xvfb.log" 2>&1 3>"$state/display.new" 9>&- &
  qf_record "$state/xvfb.pid" $!
  for _ in $(seq $((qf_timeout * 20))); do
    [ -s "$state/display.new" ] && break
    qf_recorded "$state/xvfb.pid" >/dev/null || break
    sleep 0.05
  done
  [ -s "$state/display.new" ] || { echo "no virtual display could be started (see $state/xvfb.log)" >&2; exit 1; }
  echo ":$(tr -d '[:space:]' < "$state/display.new")" > "$state/display"
  rm -f "$state/display.new"
fi
export DISPLAY=$(cat "$state/display")

# Takes prefix.reg into the prefix's registry. Wine now and then fails a
# program's start with an internal error before any of it runs (seen with a
# new prefix while another tree made its own): such a start is tried again.
import_settings() {
  local try
  for try in 1 2 3; do
    "$loader" regedit /S "$("$loader" winepath -w "$here/prefix.reg" 2>/dev/null 9>&-)" >>"$state/wineboot.log" 2>&1 9>&- &&
      return 0
    echo "regedit failed (try $try)" >>"$state/wineboot.log"
    sleep 1
  done
  return 1
}

if [ ! -f "$WINEPREFIX/.quillfeed-ready" ]; then
  WINEARCH=win64 "$loader" wineboot --init >"$state/wineboot.log" 2>&1 9>&-
  import_settings
  wineserver -w 9>&-
  cp "$here/prefix.reg" "$WINEPREFIX/.quillfeed-prefix.reg"
  touch "$WINEPREFIX/.quillfeed-ready"
fi
# A persistent server spares every test the start of a new one (and Wine's
# start-up of the prefix, seconds each time). It must be the first server of
# the session: one started by any other call ends when its last program does,
# and a later "-p" does not change it. The watchdog ends it with the session.
wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
# A prefix made before prefix.reg last changed takes in the new settings,
# through the persistent server.
if ! cmp -s "$here/prefix.reg" "$WINEPREFIX/.quillfeed-prefix.reg"; then
  import_settings
  cp "$here/prefix.reg" "$WINEPREFIX/.quillfeed-prefix.reg"
fi
# The server's system processes (services, devices) are started here,
# detached from every output: started by a test, they would hold the test's
# output pipe open for as long as the server lives, and CTest would wait on it.
"$loader" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
# The tests' publishers wait for their port while another tree's tests hold
# it; say who, once, so that a slow run explains itself.
if [ -n "$(qf_port_holders "$publisher_port")" ]; then
  echo "the publishers of these tests will wait: $(qf_port_holder_line "$publisher_port")"
fi
echo "Wine prefix $WINEPREFIX ($(basename "$loader") loader) on display $DISPLAY"
