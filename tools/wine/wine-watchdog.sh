#!/bin/bash
# Ends the Wine session of a build tree (wine-cleanup.sh) once the process
# that set it up has gone, however it went: CTest stopped early, interrupted
# or killed. Started by wine-setup.sh (which keeps its pid file), detached from
# every output and from the terminal's signals; one a session.
#   wine-watchdog.sh STATE_DIR SESSION_SCRIPT OWNER_PID OWNER_START
set -u
state=$1
session=$2
pid=$3
start=$4
source "$(dirname "$0")/ours.sh"
# A second is soon enough for a run that is starting again.
while [ "$(qf_start_time "$pid")" = "$start" ]; do
  sleep 1
done
exec "$session" cleanup "$pid $start"
