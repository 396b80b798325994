#!/bin/bash
# The download benchmark (not a test): builds the test flavour of the
# architecture this machine shows (the 32-bit programs where it can run them;
# QF_ARCH=x64 for the 64-bit ones, see scripts/arch.sh), then runs it under
# Wine. Arguments go to it: [size in MB, default 200] [runs, default 3].
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/arch.sh
preset=$(basename "$QF_TREE")
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
qf_start_session
"$QF_TREE/wine-run" "$QF_TREE/bin/DownloadBench.exe" "$@"
