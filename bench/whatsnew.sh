#!/bin/bash
# The What's New benchmark (not a test): the time from the update program's
# start to its visible dialog for What's New bodies of several shapes, against
# an empty one, on the architecture this machine shows (the 32-bit programs
# where it can run them; QF_ARCH=x64 for the 64-bit ones, see scripts/arch.sh).
#   bench/whatsnew.sh [runs, default 3]      (after scripts/build.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/arch.sh
qf_start_session
"$QF_TREE/wine-run" "$QF_TREE/bin/WhatsNewBench.exe" "$@"
