#!/bin/bash
# The release command as a publisher runs it, with a throwaway code-signing
# certificate: built a second time, in a folder of its own, from a copy of
# the sources in another folder and at another time (a SOURCE_DATE_EPOCH 400
# days before this build's), then signed. Checks the folder it wrote: the
# three files and SHA256SUMS, nothing else; the sums hold; each file verifies
# against the test CA, signed with SHA-256 by the test publisher. Without a
# package key, the command must have recommended one. Then the manifest of
# two of its files as the publisher signs it, checked with openssl.
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

# The release manifest the publisher signs with the package key, checked
# here with openssl alone: the signature over the context and the text, and
# none over the text without the context; the files as sha256sum sees them.
keys=$check/manifest-keys
[ -e "$keys/release-private.pem" ] || bash "$source_dir/scripts/release/release-signing.sh" keygen "$keys" >/dev/null
manifest=$check/manifest
rm -rf "$manifest"
bash "$source_dir/scripts/release/release-signing.sh" manifest "$keys/release-private.pem" "$manifest" 7 \
  QuillfeedUpdater.exe Kestrel.dll >/dev/null || fail "the manifest command failed"
signed_text() { { [ "$1" = context ] && printf 'Quillfeed release manifest signature\0'; cat "$manifest/release.manifest"; }; }
for covered in context text-alone; do
  if signed_text $covered | openssl dgst -sha256 -verify "$keys/release-public.pem" \
       -signature "$manifest/release.manifest.sig" >/dev/null 2>&1; then verified=context; else verified=none; fi
  [ "$verified" = "${covered/text-alone/none}" ] || fail "the manifest's signature over the $covered: $verified"
done
expected="Quillfeed release manifest 1
product Quillfeed
release 7
expires $(date -u -d '+30 days' +%Y-%m-%d)"
for file in QuillfeedUpdater.exe Kestrel.dll; do
  expected+=$'\n'"file $file $(stat -c %s "$file") $(sha256sum "$file" | cut -d' ' -f1)"
done
[ "$(sed -E '4s/T[0-9:]{8}Z$//' "$manifest/release.manifest")" = "$expected" ] ||
  fail "the manifest reads: $(cat "$manifest/release.manifest")"

[ $failures -eq 0 ] || exit 1
echo "ok: $check/out signed and summed, and a manifest of its files signed"
