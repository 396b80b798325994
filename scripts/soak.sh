#!/bin/bash
# Runs the test command (scripts/test.sh) N times in a row, each time with a
# busy loop on every core beside it, and prints how many runs passed and, for
# each run that failed, the tests that failed in which suite. Extra arguments
# go to the test command (and through it to both CTest runs). Each run's whole
# output is kept in build/soak/run-K.log.
#   scripts/soak.sh N [ctest args...]
set -uo pipefail
cd "$(dirname "$0")/.."
runs=${1:-}
if ! [[ $runs =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/soak.sh N [ctest args...]   (N: how many runs, at least 1)" >&2
  exit 2
fi
shift
logs=build/soak
mkdir -p "$logs"

load=()
start_load() {
  local core
  for core in $(seq "$(nproc)"); do
    bash -c 'while :; do :; done' &
    load+=($!)
  done
}
stop_load() {
  [ ${#load[@]} -eq 0 ] && return
  kill "${load[@]}" 2>/dev/null
  wait "${load[@]}" 2>/dev/null
  load=()
}
trap stop_load EXIT
trap 'stop_load; exit 130' INT TERM

# The failed tests of a run's output, as "x86: Suite.Case (Failed)", from each
# suite's CTest summary.
failed_tests() {
  awk '/^=== x86 suite/ { suite = "x86" } /^=== x64 suite/ { suite = "x64" }
       /^The following tests FAILED:/ { listing = 1; next }
       listing && /^[[:space:]]+[0-9]+ - / { sub(/^[[:space:]]+[0-9]+ - /, ""); print "  " suite ": " $0; next }
       { listing = 0 }' "$1"
}

passed=0
report=""
for run in $(seq "$runs"); do
  log=$logs/run-$run.log
  start_load
  begin=$(date +%s)
  bash scripts/test.sh "$@" >"$log" 2>&1
  status=$?
  seconds=$(($(date +%s) - begin))
  stop_load
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
    echo "run $run of $runs: passed in ${seconds} s"
  else
    echo "run $run of $runs: FAILED (exit status $status) in ${seconds} s, see $log"
    tests=$(failed_tests "$log")
    report+="run $run:"$'\n'"${tests:-  no test failed: the command itself did (see $log)}"$'\n'
  fi
done
echo
echo "$passed of $runs runs passed, each beside a busy loop on every core ($(nproc))."
[ -n "$report" ] && printf 'Failed:\n%s' "$report"
[ "$passed" -eq "$runs" ]
