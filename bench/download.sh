#!/bin/bash
# The download benchmark (not a test): builds the test flavour of the
# architecture this machine shows (the 32-bit programs where it can run them;
# QF_ARCH=x64 for the 64-bit ones, see scripts/arch.sh), then runs it under
# Wine. Arguments go to it: [size in MB, default 200] [runs, default 3].
# For the signed build's figures it lists a package of that size in a release
# manifest signed with the tree's test key (bench-signed/ in the tree) and
# serves them through the TLS front.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/arch.sh
preset=$(basename "$QF_TREE")
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
signed="$QF_TREE/bench-signed"
mkdir -p "$signed"
head -c "$(( ${1:-200} * 1024 * 1024 ))" /dev/zero | tr '\0' q >"$signed/QuillfeedSetup.exe"
printf "What's new: the benchmark.\n" >"$signed/whatsnew.txt"
bash scripts/release/release-signing.sh manifest "$QF_TREE/signing/release-private.pem" "$signed" 1 \
  "$signed/QuillfeedSetup.exe" "$signed/whatsnew.txt" >/dev/null
qf_start_session
"$QF_TREE/tls-front" start >/dev/null
trap '"$QF_TREE/tls-front" stop; "$QF_TREE/wine-session" cleanup' EXIT
"$QF_TREE/wine-run" "$QF_TREE/bin/DownloadBench.exe" "$@"
