#!/bin/bash
# The download benchmark (not a test): builds the x64 flavour, then runs it
# under Wine. Arguments go to it: [size in MB, default 200] [runs, default 3].
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset x64 >/dev/null
cmake --build --preset x64 -j "$(nproc)"
state=$(pwd)/build/x64/wine
bash tools/wine/wine-setup.sh "$state" >/dev/null
trap 'bash tools/wine/wine-cleanup.sh "$state"' EXIT
build/x64/wine-run build/x64/bin/DownloadBench.exe "$@"
