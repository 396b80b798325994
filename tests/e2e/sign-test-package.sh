#!/bin/bash
# Test equipment: the signed release of the end-to-end tests and the demo.
# Copies PACKAGE to OUT_DIR/QuillfeedSetup.exe and writes beside it the
# release's other files (whatsnew.txt, the text the tests serve, and a
# Quillfeed.zip) and its manifests: release.manifest (release 10, far from
# expiry) as the maintainers' script writes it, older.manifest (release 9)
# the same way, and from release.manifest's text, each signed here with
# openssl: expired.manifest, other-product.manifest, malformed.manifest (its
# release number 010), unlisted.manifest (without the installer), and the
# signatures release.manifest.wrong-key.sig (the second key),
# release.manifest.no-context.sig (the text alone signed) and
# release.manifest.truncated.sig (its last byte cut); and the test key's X
# and Y, raw, as release-public.xy.
#   sign-test-package.sh KEY_DIR PACKAGE OUT_DIR
set -euo pipefail
keys=$1 package=$2 out=$3
signing="$(dirname "$0")/../../scripts/release/release-signing.sh"
mkdir -p "$out"
cp "$package" "$out/QuillfeedSetup.exe"

printf "What's new: the download test.\n" >"$out/whatsnew.txt"
{ printf 'PK\003\004'; head -c 4096 /dev/zero | tr '\0' z; } >"$out/Quillfeed.zip"
files=("$out/QuillfeedSetup.exe" "$out/Quillfeed.zip" "$out/whatsnew.txt")
manifests=$(mktemp -d)
trap 'rm -rf "$manifests"' EXIT
bash "$signing" manifest "$keys/release-private.pem" "$manifests/10" 10 --days 36500 "${files[@]}" >/dev/null
bash "$signing" manifest "$keys/release-private.pem" "$manifests/9" 9 --days 36500 "${files[@]}" >/dev/null
cp "$manifests/10/release.manifest" "$manifests/10/release.manifest.sig" "$out/"
cp "$manifests/9/release.manifest" "$out/older.manifest"
cp "$manifests/9/release.manifest.sig" "$out/older.manifest.sig"
# sign_text KEY [CONTEXT] < TEXT > SIGNATURE
sign_text() { { printf '%b' "${2:-}"; cat; } | openssl dgst -sha256 -sign "$1"; }
context='Quillfeed release manifest signature\0'
sed 's/^expires .*/expires 2001-01-01T00:00:00Z/' "$out/release.manifest" >"$out/expired.manifest"
sed 's/^product .*/product QuillfeedBeta/' "$out/release.manifest" >"$out/other-product.manifest"
sed 's/^release .*/release 010/' "$out/release.manifest" >"$out/malformed.manifest"
sed '/^file QuillfeedSetup.exe /d' "$out/release.manifest" >"$out/unlisted.manifest"
for name in expired other-product malformed unlisted; do
  sign_text "$keys/release-private.pem" "$context" <"$out/$name.manifest" >"$out/$name.manifest.sig"
done
sign_text "$keys/wrong/release-private.pem" "$context" <"$out/release.manifest" >"$out/release.manifest.wrong-key.sig"
sign_text "$keys/release-private.pem" <"$out/release.manifest" >"$out/release.manifest.no-context.sig"
openssl pkey -pubin -in "$keys/release-public.pem" -outform DER | tail -c 64 >"$out/release-public.xy"
head -c -1 "$out/release.manifest.sig" >"$out/release.manifest.truncated.sig"
