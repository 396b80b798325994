#!/bin/bash
# Configures and builds both flavours: x86 (the shipped deliverables, in
# build/x86/dist) and x64 (the test flavour, run under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
for flavour in x86 x64; do
  cmake --preset "$flavour" >/dev/null
  cmake --build --preset "$flavour" -j "$(nproc)"
done
