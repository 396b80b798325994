#!/bin/bash
# Authenticode signing of the release files with osslsigncode (SHA-256). The
# certificate comes from the environment, never from the source tree:
#
#   QUILLFEED_SIGNING_CERT, QUILLFEED_SIGNING_KEY
#       the code-signing certificate (PEM; the chain may follow it in the same
#       file) and its private key (PEM, unencrypted), or
#   QUILLFEED_SIGNING_PFX, QUILLFEED_SIGNING_PASSWORD
#       both in one PKCS#12 file and its password
#   QUILLFEED_TIMESTAMP_URL (optional)
#       an RFC 3161 time-stamp server, so that the signatures outlive the
#       certificate; signing fails when it cannot be reached
#
#   authenticode.sh check
#       prints the signer's subject when the settings name a usable
#       certificate; otherwise says in one line what is wrong, exit status 1
#   authenticode.sh sign OUT_DIR FILE...
#       checks, then writes a signed copy of each FILE into OUT_DIR
set -euo pipefail

fail() {
  echo "$*" >&2
  exit 1
}

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
}

cert=${QUILLFEED_SIGNING_CERT:-}
key=${QUILLFEED_SIGNING_KEY:-}
pfx=${QUILLFEED_SIGNING_PFX:-}
# openssl reads the password from the environment, never from a command line.
export QUILLFEED_SIGNING_PASSWORD=${QUILLFEED_SIGNING_PASSWORD:-}

pfx_read() {
  openssl pkcs12 -in "$pfx" -passin env:QUILLFEED_SIGNING_PASSWORD "$@"
}

# The certificate that signs, its key's public half, and what to call the
# certificate in a message, whichever way they were given; stops with one
# line when they cannot be read.
read_signer() {
  signer_pem=$(mktemp)
  trap 'rm -f "$signer_pem"' EXIT
  if [ -n "$pfx" ]; then
    [ -z "$cert$key" ] || fail "Give either QUILLFEED_SIGNING_CERT and QUILLFEED_SIGNING_KEY or QUILLFEED_SIGNING_PFX, not both."
    [ -r "$pfx" ] || fail "Cannot read the PKCS#12 file $pfx (QUILLFEED_SIGNING_PFX)."
    local why
    if ! why=$(pfx_read -noout 2>&1); then
      grep -qi 'invalid password' <<<"$why" &&
        fail "Wrong password for $pfx (QUILLFEED_SIGNING_PASSWORD)."
      fail "$pfx is not a PKCS#12 file that openssl can read (QUILLFEED_SIGNING_PFX)."
    fi
    # The key stays in the pipe; only its public half is kept.
    key_public=$(pfx_read -nocerts -nodes 2>/dev/null | openssl pkey -pubout 2>/dev/null) ||
      fail "$pfx holds no private key (QUILLFEED_SIGNING_PFX)."
    pfx_read -nokeys -clcerts 2>/dev/null | openssl x509 -out "$signer_pem" 2>/dev/null ||
      fail "$pfx holds no certificate for its key (QUILLFEED_SIGNING_PFX)."
    what="the certificate in $pfx"
  elif [ -n "$cert$key" ]; then
    [ -n "$cert" ] || fail "QUILLFEED_SIGNING_KEY is set but QUILLFEED_SIGNING_CERT is not: the certificate is missing."
    [ -n "$key" ] || fail "QUILLFEED_SIGNING_CERT is set but QUILLFEED_SIGNING_KEY is not: the private key is missing."
    [ -r "$cert" ] || fail "Cannot read the certificate $cert (QUILLFEED_SIGNING_CERT)."
    [ -r "$key" ] || fail "Cannot read the private key $key (QUILLFEED_SIGNING_KEY)."
    openssl x509 -in "$cert" -out "$signer_pem" 2>/dev/null ||
      fail "$cert is not a PEM certificate (QUILLFEED_SIGNING_CERT)."
    # An empty pass phrase: an encrypted key fails here instead of prompting.
    key_public=$(openssl pkey -in "$key" -passin pass: -pubout 2>/dev/null) ||
      fail "$key is not an unencrypted PEM private key (QUILLFEED_SIGNING_KEY)."
    what="$cert"
  elif [ -n "${QUILLFEED_SIGNING_PASSWORD}" ]; then
    fail "QUILLFEED_SIGNING_PASSWORD is set but QUILLFEED_SIGNING_PFX is not."
  else
    fail "No signing certificate: set QUILLFEED_SIGNING_CERT and QUILLFEED_SIGNING_KEY, or QUILLFEED_SIGNING_PFX and QUILLFEED_SIGNING_PASSWORD."
  fi
}

# What Windows requires of the signer, checked before anything is built or
# signed: osslsigncode would sign with any certificate.
check_signer() {
  local subject
  subject=$(openssl x509 -in "$signer_pem" -noout -subject -nameopt oneline | sed 's/^subject= *//')
  openssl x509 -in "$signer_pem" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' ||
    fail "$what is not for code signing (no codeSigning extended key usage): $subject."
  openssl x509 -in "$signer_pem" -noout -checkend 0 >/dev/null ||
    fail "$what expired on $(openssl x509 -in "$signer_pem" -noout -enddate | sed 's/^notAfter=//'): $subject."
  [ "$(openssl x509 -in "$signer_pem" -noout -pubkey)" = "$key_public" ] ||
    fail "The private key does not belong to $what: $subject."
  signer_subject=$subject
}

osslsigncode_sign() {
  if [ -n "$pfx" ]; then
    osslsigncode sign -h sha256 "${timestamp[@]}" -pkcs12 "$pfx" \
      -readpass <(printf '%s' "$QUILLFEED_SIGNING_PASSWORD") "$@"
  else
    osslsigncode sign -h sha256 "${timestamp[@]}" -certs "$cert" -key "$key" "$@"
  fi
}

case "${1:-}" in
  check)
    [ $# -eq 1 ] || usage
    read_signer
    check_signer
    echo "$signer_subject"
    ;;
  sign)
    [ $# -ge 3 ] || usage
    out=$2
    shift 2
    read_signer
    check_signer
    timestamp=()
    [ -z "${QUILLFEED_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$QUILLFEED_TIMESTAMP_URL")
    for file in "$@"; do
      signed=$out/$(basename "$file")
      rm -f "$signed"
      why=$(osslsigncode_sign -in "$file" -out "$signed" 2>&1) ||
        fail "osslsigncode could not sign $file${timestamp:+ with the time-stamp server ${QUILLFEED_TIMESTAMP_URL}}: $(grep . <<<"$why" | tail -n1)"
    done
    ;;
  *)
    usage
    ;;
esac
