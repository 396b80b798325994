#!/bin/bash
# The publisher's release signing, with openssl: makes the release key pair,
# prints the build setting that carries the public key, and writes and signs
# a release's manifest, the one signed file, which lists every package by its
# size and SHA-256, the way the update program checks it (SHA-256, ECDSA
# P-256, DER).
#
#   release-signing.sh keygen DIR
#       makes DIR/release-private.pem (keep it secret and off the build
#       machine) and DIR/release-public.pem, and prints the build setting
#   release-signing.sh public-key KEY.pem
#       prints the value of QUILLFEED_PACKAGE_PUBLIC_KEY for a private or
#       public key file
#   release-signing.sh manifest PRIVATE.pem OUT_DIR RELEASE [--days N] FILE...
#       writes OUT_DIR/release.manifest, which lists each FILE by its name,
#       size and SHA-256 under the release number RELEASE (0 to 4294967295,
#       never lower than the last one published) and expires in N days (30
#       when not given), and its signature OUT_DIR/release.manifest.sig, and
#       checks the signature; publish both as /dist/release.manifest and
#       /dist/release.manifest.sig, with the files, and again before it expires
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

# What the manifest's signature covers before its text, the zero included:
# a signature made for anything else with the same key never passes as one.
manifest_context() {
  printf 'Quillfeed release manifest signature\0'
}

fail() {
  echo "release-signing: $*" >&2
  exit 1
}

# manifest PRIVATE.pem OUT_DIR RELEASE [--days N] FILE...
write_manifest() {
  local key=$1 out=$2 release=$3 days=30
  shift 3
  if [ "${1:-}" = --days ]; then
    [ $# -ge 2 ] || usage
    days=$2
    shift 2
  fi
  [ $# -ge 1 ] || usage
  [[ $release =~ ^(0|[1-9][0-9]{0,9})$ ]] && [ "$release" -le 4294967295 ] ||
    fail "the release number must be a whole number from 0 to 4294967295 without leading zeros: $release"
  [[ $days =~ ^[1-9][0-9]{0,4}$ ]] && [ "$days" -le 36500 ] ||
    fail "the days until the manifest expires must be a whole number from 1 to 36500: $days"
  [ -r "$key" ] || fail "cannot read the private key $key"
  local text names=" " file name size
  text="Quillfeed release manifest 1"$'\n'"product Quillfeed"$'\n'"release $release"$'\n'
  text+="expires $(date -u -d "+$days days" +%Y-%m-%dT%H:%M:%SZ)"$'\n'
  for file in "$@"; do
    [ -f "$file" ] || fail "$file is not a file"
    name=$(basename "$file")
    [[ $name =~ ^[A-Za-z0-9_-][A-Za-z0-9._-]{0,63}$ ]] ||
      fail "$name cannot be listed: a name is 1 to 64 of A-Z a-z 0-9 . _ - and does not start with a dot"
    [[ $names != *" $name "* ]] || fail "$name is given twice"
    names+="$name "
    size=$(stat -c %s "$file")
    text+="file $name $size $(sha256sum "$file" | cut -d' ' -f1)"$'\n'
  done
  [ ${#text} -le 1024 ] || fail "the manifest would be ${#text} bytes, more than its 1024: list fewer files or shorter names"
  mkdir -p "$out"
  # Both files appear together, or neither does.
  staging=$(mktemp -d "$out/.manifest.XXXXXX")
  trap 'rm -rf "$staging"' EXIT
  local public=$staging/public.pem
  printf '%s' "$text" >"$staging/release.manifest"
  openssl pkey -in "$key" -pubout -out "$public"
  { manifest_context; cat "$staging/release.manifest"; } |
    openssl dgst -sha256 -sign "$key" -out "$staging/release.manifest.sig"
  { manifest_context; cat "$staging/release.manifest"; } |
    openssl dgst -sha256 -verify "$public" -signature "$staging/release.manifest.sig" >/dev/null
  mv "$staging/release.manifest" "$staging/release.manifest.sig" "$out/"
  echo "$out/release.manifest"
  echo "$out/release.manifest.sig"
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
  manifest)
    [ $# -ge 5 ] || usage
    shift
    write_manifest "$@"
    ;;
  *)
    usage
    ;;
esac
