#!/bin/bash
# Measures BlogThis of both plugins against the bare MSXML work of the same
# item, with the editor stand-in registered, on the architecture this machine
# shows (the 32-bit programs where it can run them; QF_ARCH=x64 for the 64-bit
# ones, see scripts/arch.sh).
#   bench/bridges.sh [rounds]      (after scripts/build.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/arch.sh
qf_start_session
bash tests/bridges/register-standins.sh "$QF_TREE/wine-run" "$QF_TREE/bin/LiveWriterStandIn.dll"
"$QF_TREE/wine-run" "$QF_TREE/bin/BridgeBench.exe" "$@"
