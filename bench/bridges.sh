#!/bin/bash
# Measures BlogThis of both plugins against the bare MSXML work of the same
# item, in the x64 build's Wine prefix, with the editor stand-in registered.
#   bench/bridges.sh [rounds]      (after a build of the x64 flavour)
set -euo pipefail
cd "$(dirname "$0")/.."
state=$(pwd)/build/x64/wine
bash tools/wine/wine-setup.sh "$state" >/dev/null
trap 'bash tools/wine/wine-cleanup.sh "$state"' EXIT
bash tests/bridges/register-standins.sh build/x64/wine-run build/x64/bin/LiveWriterStandIn.dll
build/x64/wine-run build/x64/bin/BridgeBench.exe "$@"
