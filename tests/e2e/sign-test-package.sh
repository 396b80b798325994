#!/bin/bash
# Test equipment: the signed package of the end-to-end tests and the demo.
# Copies PACKAGE to OUT_DIR/QuillfeedSetup.exe and signs it with the test
# release key (the one the signed test program carries) through the
# maintainers' script, again until the r of the signature has its high bit
# set, so that it is written with a leading zero byte (a test takes that byte
# away), and s has not (a test puts a needless zero byte before it); then
# signs it with a second key as QuillfeedSetup.exe.wrong-key.sig.
#   sign-test-package.sh KEY_DIR PACKAGE OUT_DIR
set -euo pipefail
keys=$1 package=$2 out=$3
signing="$(dirname "$0")/../../scripts/release/release-signing.sh"
mkdir -p "$out"
cp "$package" "$out/QuillfeedSetup.exe"
for _ in $(seq 64); do
  bash "$signing" sign "$keys/wrong/release-private.pem" "$out/QuillfeedSetup.exe" >/dev/null
  mv "$out/QuillfeedSetup.exe.sig" "$out/QuillfeedSetup.exe.wrong-key.sig"
  bash "$signing" sign "$keys/release-private.pem" "$out/QuillfeedSetup.exe" >/dev/null
  # SEQUENCE, length, INTEGER, length of r (33 with the high bit), r,
  # INTEGER, length of s.
  lengths=$(od -An -tu1 -j3 -N1 "$out/QuillfeedSetup.exe.sig"; od -An -tu1 -j38 -N1 "$out/QuillfeedSetup.exe.sig")
  read -r r s <<<"$(echo $lengths)"
  [ "$r" = 33 ] && [ "$s" -le 32 ] && exit 0
done
echo "no signature with the high bit in r and not in s after 64 tries" >&2
exit 1
