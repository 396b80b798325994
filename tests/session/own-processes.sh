#!/bin/bash
# The session's scripts end their own processes and nobody else's: a pid file
# names a process only with its start time and the words of its command line;
# the watchdog ends the session once its run has gone; a clean-up leaves a
# later run's session alone. Stand-ins play the servers, so no Wine is needed.
#   own-processes.sh SOURCE_DIR
set -u
wine_tools=$1/tools/wine
export QF_EVENT_TIMEOUT_S=30
source "$wine_tools/ours.sh"
work=$(mktemp -d)
started=()
trap 'kill "${started[@]}" 2>/dev/null; rm -rf "$work"' EXIT
failed=0
expect() {  # WHAT COMMAND...: the command must succeed
  "${@:2}" || { echo "FAILED: $1"; failed=1; }
}
alive() { kill -0 "$1" 2>/dev/null; }
# A stand-in server whose command line reads NAME.
serve_as() {
  bash -c "exec -a $1 sleep 600" &
  started+=($!)
}
# Waits for a condition (a command) within the bound.
wait_for() {
  local n
  for n in $(seq $((qf_timeout * 20))); do "$@" && return 0; sleep 0.05; done
  return 1
}

serve_as Xvfb
server=$!
qf_record "$work/server.pid" "$server"
read -r _ start <"$work/server.pid"
echo "$server $((start + 1))" >"$work/reused.pid"
expect "a recorded process is found by its words" test "$(qf_recorded "$work/server.pid" Xvfb)" = "$server"
expect "a process with other words is not ours" test -z "$(qf_recorded "$work/server.pid" tls_front.py)"
qf_end_recorded "$work/reused.pid" Xvfb
expect "a process started at another time is left alone" alive "$server"
qf_end_recorded "$work/server.pid" tls_front.py
expect "a process with other words is left alone" alive "$server"
qf_record "$work/server.pid" "$server"
qf_end_recorded "$work/server.pid" Xvfb
expect "our own process is ended" wait_for eval "! alive $server"
expect "and its pid file removed" test ! -e "$work/server.pid"

# The watchdog of a run: nothing while the run lives, the clean-up once it has gone.
state=$work/state
mkdir -p "$state"
printf '#!/bin/bash\necho "$*" >>%q\n' "$work/session-calls" >"$work/session"
chmod +x "$work/session"
run=$(sleep 600 </dev/null >/dev/null 2>&1 & echo $!)  # not a job of this shell's: its end goes unannounced
started+=($run)
qf_record "$state/owner" "$run"
read -r _ run_start <"$state/owner"
setsid bash "$wine_tools/wine-watchdog.sh" "$state" "$work/session" "$run" "$run_start" </dev/null >/dev/null 2>&1 &
watchdog=$!
started+=($watchdog)
expect "the watchdog waits" wait_for pgrep -P "$watchdog" -x sleep >/dev/null
expect "no clean-up while the run lives" test ! -e "$work/session-calls"
kill -9 "$run"
expect "the clean-up once the run has gone" wait_for grep -qsx "cleanup $run $run_start" "$work/session-calls"

# The watchdog's clean-up ends the session it was started for, not a later
# run's; ended, the session keeps no front, display or owner.
printf '#!/bin/bash\necho "$*" >>%q\n' "$work/front-calls" >"$work/front"
chmod +x "$work/front"
serve_as Xvfb
qf_record "$state/xvfb.pid" $!
echo "1 2" >"$state/owner"
bash "$wine_tools/wine-cleanup.sh" "$state" "$work/front" "$run $run_start"
expect "a later run's session is left alone" test -n "$(qf_recorded "$state/xvfb.pid" Xvfb)"
expect "nor is its front stopped" test ! -e "$work/front-calls"
echo "$run $run_start" >"$state/owner"
bash "$wine_tools/wine-cleanup.sh" "$state" "$work/front" "$run $run_start"
expect "the run's display is ended" test ! -e "$state/xvfb.pid"
expect "its front is stopped" grep -qx stop "$work/front-calls"
expect "and the session has no owner" test ! -e "$state/owner"
exit $failed
