#!/bin/bash
# The publisher's package signing, with openssl: makes the release key pair,
# prints the build setting that carries the public key, and signs packages
# the way the update program checks them (SHA-256, ECDSA P-256, DER).
#
#   release-signing.sh keygen DIR
#       makes DIR/release-private.pem (keep it secret and off the build
#       machine) and DIR/release-public.pem, and prints the build setting
#   release-signing.sh public-key KEY.pem
#       prints the value of QUILLFEED_PACKAGE_PUBLIC_KEY for a private or
#       public key file
#   release-signing.sh sign PRIVATE.pem PACKAGE...
#       writes PACKAGE.sig beside each package and checks it with the public
#       key; publish each .sig next to its package
set -euo pipefail

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
}

# The public key as the build setting wants it: the base64 body of its PEM
# block on one line.
public_key() {
  local key=$1
  if grep -q -- '-----BEGIN PUBLIC KEY-----' "$key"; then
    openssl pkey -pubin -in "$key" -outform DER
  else
    openssl pkey -in "$key" -pubout -outform DER
  fi | base64 -w0
  echo
}

case "${1:-}" in
  keygen)
    [ $# -eq 2 ] || usage
    dir=$2
    mkdir -p "$dir"
    if [ -e "$dir/release-private.pem" ]; then
      echo "$dir/release-private.pem exists already; a new key would orphan every installed copy" >&2
      exit 1
    fi
    (umask 077 && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 \
                   -pkeyopt ec_param_enc:named_curve -out "$dir/release-private.pem")
    openssl pkey -in "$dir/release-private.pem" -pubout -out "$dir/release-public.pem"
    echo "Private key: $dir/release-private.pem (secret)"
    echo "Public key:  $dir/release-public.pem"
    echo "Build with:  -DQUILLFEED_PACKAGE_PUBLIC_KEY=$(public_key "$dir/release-public.pem")"
    ;;
  public-key)
    [ $# -eq 2 ] || usage
    public_key "$2"
    ;;
  sign)
    [ $# -ge 3 ] || usage
    key=$2
    shift 2
    public=$(mktemp)
    trap 'rm -f "$public"' EXIT
    openssl pkey -in "$key" -pubout -out "$public"
    for package in "$@"; do
      openssl dgst -sha256 -sign "$key" -out "$package.sig" "$package"
      openssl dgst -sha256 -verify "$public" -signature "$package.sig" "$package" >/dev/null
      echo "$package.sig"
    done
    ;;
  *)
    usage
    ;;
esac
