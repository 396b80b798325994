#!/bin/bash
# The test command: installs what is missing, builds every flavour, runs the
# static checks of the shipped x86 files, then the whole suite against the
# 32-bit programs (x86-test) and against the 64-bit ones (x64), side by side:
# the two build trees share no Wine prefix, display or publisher port. Where
# this machine cannot run 32-bit programs, the x86 suite is reported skipped.
# Extra arguments go to both suites' CTest runs (for example -R name).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
ctest --preset x86

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
x86_args=("$@")
if ! reason=$(bash tools/wine/i386-check.sh); then
  # Only the set-up runs: CTest lists it as skipped, and no test is run
  # that would fail with an obscure Wine error.
  x86_args=(-R '^wine\.(setup|cleanup)$')
fi
echo
echo "Running the x86 and x64 suites side by side; their reports follow when both have ended."
# Each suite on a virtual display of its own (the Wine session starts one
# when no DISPLAY is set): on one shared display the two suites' windows,
# clicks and screen reads would meet.
unset DISPLAY
# Interrupted (Ctrl-C, or this command killed), both runs end with it, and
# each build tree's watchdog ends what its run had started.
x86=
x64=
trap 'kill $x86 $x64 2>/dev/null; exit 130' INT TERM
ctest --preset x86-test "${x86_args[@]}" >"$logs/x86" 2>&1 &
x86=$!
ctest --preset x64 "$@" >"$logs/x64" 2>&1 &
x64=$!
x86_status=0
x64_status=0
wait "$x86" || x86_status=$?
wait "$x64" || x64_status=$?

echo
echo "=== x86 suite: the 32-bit programs under Wine (build/x86-test) ==="
cat "$logs/x86"
echo
echo "=== x64 suite: the 64-bit programs under Wine (build/x64) ==="
cat "$logs/x64"
echo
[ -n "${reason:-}" ] && echo "x86 suite skipped: $reason"
[ "$x86_status" -eq 0 ] && [ "$x64_status" -eq 0 ]
