#!/bin/bash
# Part of the run command: the release step a publisher takes
# (scripts/release.sh), for the shipped flavour's address and key, signed with
# a throwaway test certificate made here (OUT_DIR/release-signing; a publisher
# gives its own). Prints the release folder, its sums as `sha256sum -c`
# checks them, and what osslsigncode's verification against the test CA says.
#   scripts/release-demo.sh OUT_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
certs=$1/release-signing
release=$1/release
setting() { sed -n "s/^$1:STRING=//p" build/x86/CMakeCache.txt; }

bash tools/signing/test-certificates.sh "$certs"
echo "The release step (scripts/release.sh out/release), signed with a test certificate"
echo "issued by a test CA made just now (out/release-signing/):"
QUILLFEED_PUBLISHER_URL=$(setting QUILLFEED_PUBLISHER_URL) \
QUILLFEED_PACKAGE_PUBLIC_KEY=$(setting QUILLFEED_PACKAGE_PUBLIC_KEY) \
QUILLFEED_SIGNING_CERT=$certs/signer.pem QUILLFEED_SIGNING_KEY=$certs/signer.key \
  bash scripts/release.sh "$release" 2>&1 | sed 's/^/  /'

echo "  out/release holds: $(ls "$release" | tr '\n' ' ')"
echo "  sha256sum -c SHA256SUMS:"
(cd "$release" && sha256sum -c SHA256SUMS) | sed 's/^/    /'
echo "  osslsigncode verify -CAfile out/release-signing/ca.pem:"
status=0
for file in QuillfeedUpdater.exe Lantern.dll Kestrel.dll; do
  report=$(osslsigncode verify -CAfile "$certs/ca.pem" -in "$release/$file" 2>&1) || status=1
  printf '    %-21s %s; %s, by %s\n' "$file:" \
    "$(grep -m1 -E '^Signature verification|No signature|Failed' <<<"$report")" \
    "$(grep -m1 -E '^Message digest algorithm +:' <<<"$report" | sed 's/.*: *//')" \
    "$(grep -m1 'Subject:' <<<"$report" | sed 's/.*Subject: *//')"
done
# The release was built in build/release, the shipped flavour in build/x86.
if cmp -s build/release/dist/Lantern.dll build/x86/dist/Lantern.dll &&
   cmp -s build/release/dist/Kestrel.dll build/x86/dist/Kestrel.dll &&
   cmp -s build/release/dist/QuillfeedUpdater.exe build/x86/dist/QuillfeedUpdater.exe; then
  echo "  Before signing, the three files are byte for byte those of build/x86/dist, built in another folder."
else
  echo "  Before signing, the files differ from those of build/x86/dist!"
  status=1
fi
exit $status
