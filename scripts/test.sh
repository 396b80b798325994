#!/bin/bash
# The test command: installs what is missing, builds both flavours, runs the
# static checks of the shipped x86 files and every test of the x64 flavour
# under Wine. Extra arguments go to the x64 CTest run (for example -R name).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
ctest --preset x86
ctest --preset x64 "$@"
