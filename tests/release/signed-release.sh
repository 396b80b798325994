#!/bin/bash
# The release command as a publisher runs it, with a throwaway code-signing
# certificate: built a second time, in a folder of its own, from a copy of
# the sources in another folder and at another time (a SOURCE_DATE_EPOCH 400
# days before this build's), then signed. Checks the folder it wrote: the
# three files and SHA256SUMS, nothing else; the sums hold; each file verifies
# against the test CA, signed with SHA-256 by the test publisher. Without a
# package key, the command must have recommended one.
#   signed-release.sh SOURCE_DIR CHECK_DIR PUBLISHER_URL [PACKAGE_KEY]
# CHECK_DIR/certificates holds the test certificates; the release lands in
# CHECK_DIR/out, built from CHECK_DIR/source in CHECK_DIR/build (both kept:
# the copy keeps the files' times, so the next run rebuilds only what changed).
set -euo pipefail
source_dir=$1 check=$2
certs=$check/certificates
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The working tree's files as they are, committed or not, but not what git ignores.
mkdir -p "$check/source"
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
   while IFS= read -r -d '' file; do [ -f "$file" ] && printf '%s\0' "$file"; done |
   xargs -0 cp -p --parents -t "$check/source")
rm -rf "$check/out"
output=$(SOURCE_DATE_EPOCH=$((${SOURCE_DATE_EPOCH:-$(date +%s)} - 400 * 86400)) \
  QF_RELEASE_BUILD_DIR=$check/build QUILLFEED_PUBLISHER_URL=$3 QUILLFEED_PACKAGE_PUBLIC_KEY=${4:-} \
  QUILLFEED_SIGNING_CERT=$certs/signer.pem QUILLFEED_SIGNING_KEY=$certs/signer.key \
  bash "$check/source/scripts/release.sh" "$check/out" 2>&1) ||
  { echo "$output"; echo "FAIL: the release command failed"; exit 1; }
echo "$output"
[ -n "${4:-}" ] || grep -q 'A package key is recommended' <<<"$output" || fail "no line recommends a package key"

cd "$check/out"
[ "$(ls -A | sort | tr '\n' ' ')" = "Kestrel.dll Lantern.dll QuillfeedUpdater.exe SHA256SUMS " ] ||
  fail "the release folder holds: $(ls -A | tr '\n' ' ')"
sha256sum --quiet -c SHA256SUMS || fail "SHA256SUMS does not hold"
for file in QuillfeedUpdater.exe Lantern.dll Kestrel.dll; do
  report=$(osslsigncode verify -CAfile "$certs/ca.pem" -in "$file" 2>&1) || {
    fail "$file does not verify against the test CA: $(grep -iE 'fail|error|no signature' <<<"$report" | head -n3 | tr '\n' ' ')"
    continue
  }
  grep -q '^Signature verification: ok' <<<"$report" || fail "$file: no verified signature"
  grep -qE '^Message digest algorithm +: SHA256' <<<"$report" || fail "$file is not signed with SHA-256"
  grep -q 'Subject: /CN=Quillfeed Test Publisher' <<<"$report" || fail "$file is not signed by the test publisher"
done
[ $failures -eq 0 ] || exit 1
echo "ok: $check/out signed and summed"
