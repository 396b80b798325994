#!/bin/bash
# Configures and builds the three flavours: x86 (the shipped deliverables, in
# build/x86/dist), x86-test (the same 32-bit programs with the loopback
# publisher's address, with the tests and tools) and x64 (the same sources for
# 64-bit, with the tests and tools).
set -euo pipefail
cd "$(dirname "$0")/.."
for flavour in x86 x86-test x64; do
  cmake --preset "$flavour" >/dev/null
  cmake --build --preset "$flavour" -j "$(nproc)"
done
