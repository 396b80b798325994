#!/bin/bash
# Signs copies of the tree's programs as a publisher would, with a throwaway
# certificate made at test time (the PKCS#12 form, which the release check of
# the shipped flavour does not use), and checks each signature against the
# test CA.
#   sign-test-programs.sh CERT_DIR OUT_DIR PROGRAM...
set -euo pipefail
certs=$1 out=$2
shift 2
bash "$(dirname "$0")/../../tools/signing/test-certificates.sh" "$certs"
rm -rf "$out"
mkdir -p "$out"
QUILLFEED_SIGNING_PFX=$certs/signer.pfx QUILLFEED_SIGNING_PASSWORD=$(cat "$certs/pfx-password") \
  bash "$(dirname "$0")/../../scripts/release/authenticode.sh" sign "$out" "$@"
for program in "$@"; do
  signed=$out/$(basename "$program")
  osslsigncode verify -CAfile "$certs/ca.pem" -in "$signed" | grep -q '^Signature verification: ok' ||
    { echo "FAIL: $signed does not verify against the test CA"; exit 1; }
  echo "signed: $signed"
done
