#!/bin/bash
# The release step a publisher takes: builds the shipped 32-bit files for the
# publisher's address, signs them with Authenticode when given a code-signing
# certificate, and writes a release folder with the three files and their
# SHA256SUMS (as `sha256sum -c` reads them).
#
#   scripts/release.sh OUT_DIR
#
# The settings come from the environment:
#   QUILLFEED_PUBLISHER_URL       required: the publisher's base URL, as the
#                                 build takes it (https://updates.example.org)
#   QUILLFEED_PACKAGE_PUBLIC_KEY  the package key, as the build takes it
#                                 (scripts/release/release-signing.sh keygen
#                                 makes one): required with an http://
#                                 address, recommended with https://
#   QUILLFEED_RELEASE_NUMBER      optional: this release's number (0 when not
#                                 given); an update program with the package
#                                 key refuses a release manifest with a lower one
#   QUILLFEED_SIGNING_CERT and QUILLFEED_SIGNING_KEY (PEM files, the key
#   unencrypted), or QUILLFEED_SIGNING_PFX and QUILLFEED_SIGNING_PASSWORD
#   (PKCS#12): the code-signing certificate; without one the files are
#   written unsigned, and the command says so
#   QUILLFEED_TIMESTAMP_URL       optional: an RFC 3161 time-stamp server
#   QF_RELEASE_BUILD_DIR          where to build (build/release by default)
#
# OUT_DIR is only ever replaced by a complete release: the files are built,
# signed and summed in a staging folder beside it, which takes its place at
# the end. An OUT_DIR that holds anything but a release's four files is never
# touched. On bad settings or any failure the command says what in one line,
# ends with exit status 1 and leaves OUT_DIR as it was (or absent).
set -euo pipefail

fail() {
  echo "release: $*" >&2
  exit 1
}

files=(QuillfeedUpdater.exe Lantern.dll Kestrel.dll)

[ $# -eq 1 ] && [ -n "$1" ] || fail "usage: scripts/release.sh OUT_DIR, with QUILLFEED_PUBLISHER_URL and the other settings in the environment"
# Folders given relative to where the command was called from.
absolute() {
  local path=$1
  [ "${path#/}" != "$path" ] || path=$PWD/$path
  while [ "${path%/}" != "$path" ] && [ "$path" != / ]; do path=${path%/}; done
  echo "$path"
}
out=$(absolute "$1")
build_dir=""
[ -z "${QF_RELEASE_BUILD_DIR:-}" ] || build_dir=$(absolute "$QF_RELEASE_BUILD_DIR")
[ "$out" != / ] || fail "OUT_DIR cannot be /"

url=${QUILLFEED_PUBLISHER_URL:-}
[ -n "$url" ] || fail "QUILLFEED_PUBLISHER_URL is not set: give the publisher's base URL, for example https://updates.example.org"
[[ $url =~ ^https?://[^/[:space:]]+(/[^[:space:]]*)?$ && $url != */ ]] ||
  fail "QUILLFEED_PUBLISHER_URL must be an http:// or https:// address without a trailing slash: $url"
# The update program closes the reader and runs the package it fetched. Over
# http:// anyone on the network path can serve their own program as the
# package; only a package key makes the program refuse it.
key=${QUILLFEED_PACKAGE_PUBLIC_KEY:-}
has_key=0
[[ $key =~ [A-Za-z0-9] ]] && has_key=1
[[ $url != http://* || $has_key -eq 1 ]] ||
  fail "an http:// publisher address needs a package key, or anyone on the network path can make the update program run their own program: give QUILLFEED_PACKAGE_PUBLIC_KEY (scripts/release/release-signing.sh keygen makes one) or an https:// address"

release_number=${QUILLFEED_RELEASE_NUMBER:-0}
[[ $release_number =~ ^(0|[1-9][0-9]{0,9})$ ]] && [ "$release_number" -le 4294967295 ] ||
  fail "QUILLFEED_RELEASE_NUMBER must be a whole number from 0 to 4294967295 without leading zeros: $release_number"

# A former release (or an empty folder) may be replaced; anything else is not ours.
if [ -e "$out" ] || [ -L "$out" ]; then
  [ -d "$out" ] && [ ! -L "$out" ] || fail "$out exists and is not a folder (a link to one is not taken either)"
  for entry in "$out"/* "$out"/.[!.]*; do
    [ -e "$entry" ] || continue
    case "$(basename "$entry")" in
      QuillfeedUpdater.exe | Lantern.dll | Kestrel.dll | SHA256SUMS) ;;
      *) fail "$out holds other files than a release's; give a new folder or an earlier release's" ;;
    esac
  done
fi

cd "$(dirname "$0")/.."
root=$PWD
build_dir=${build_dir:-$root/build/release}
bash scripts/setup.sh

signer=""
if [ -n "${QUILLFEED_SIGNING_CERT:-}${QUILLFEED_SIGNING_KEY:-}${QUILLFEED_SIGNING_PFX:-}${QUILLFEED_SIGNING_PASSWORD:-}" ]; then
  signer=$(bash scripts/release/authenticode.sh check 2>&1) || fail "$signer"
fi

commit=$(git -C "$root" describe --always --dirty 2>/dev/null || echo "unknown")
echo "Building the shipped x86 files for $url from commit $commit in $build_dir"
[ -n "$signer" ] || echo "No signing certificate given (QUILLFEED_SIGNING_CERT and _KEY, or QUILLFEED_SIGNING_PFX): the files will NOT be signed."
[ $has_key -eq 1 ] || echo "No package key given: the update program will run whatever package the https:// server serves, a server broken into included. A package key is recommended (QUILLFEED_PACKAGE_PUBLIC_KEY; scripts/release/release-signing.sh keygen makes one)."
mkdir -p "$build_dir"
log=$build_dir/release-build.log
# Every setting is given each time, so that none is left over in the cache
# from an earlier release.
if ! { cmake --preset x86 -S "$root" -B "$build_dir" \
         -DQUILLFEED_PUBLISHER_URL="$url" -DQUILLFEED_PACKAGE_PUBLIC_KEY="$key" \
         -DQUILLFEED_RELEASE_NUMBER="$release_number" &&
       cmake --build "$build_dir" -j "$(nproc)"; } >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  fail "the build failed; its whole output is in $log"
fi

parent=$(dirname "$out")
mkdir -p "$parent"
staging=$(mktemp -d "$parent/.$(basename "$out").staging.XXXXXX")
trap 'rm -rf "$staging"' EXIT
chmod "$(umask -S)" "$staging"
built=("${files[@]/#/$build_dir/dist/}")
if [ -n "$signer" ]; then
  echo "Signing with Authenticode (SHA-256${QUILLFEED_TIMESTAMP_URL:+, time-stamped by $QUILLFEED_TIMESTAMP_URL}) as: $signer"
  why=$(bash scripts/release/authenticode.sh sign "$staging" "${built[@]}" 2>&1) || fail "$why"
else
  cp "${built[@]}" "$staging/"
fi
(cd "$staging" && sha256sum "${files[@]}" >SHA256SUMS && sha256sum --quiet -c SHA256SUMS) ||
  fail "the checksums of $staging do not hold"

# Into place: the earlier release goes only once the new one is there.
if [ -d "$out" ]; then
  old=$(mktemp -d "$parent/.$(basename "$out").old.XXXXXX")
  mv "$out" "$old/"
  mv "$staging" "$out" || { mv "$old/$(basename "$out")" "$out"; rm -rf "$old"; fail "could not move the release into $out"; }
  rm -rf "$old"
else
  mv "$staging" "$out" || fail "could not move the release into $out"
fi

echo "Release in $out${signer:+ (signed)}:"
sed 's/^/  /' "$out/SHA256SUMS"
[ -n "$signer" ] || echo "The files are NOT signed: no signing certificate was given."
if [ -n "${QUILLFEED_PACKAGE_PUBLIC_KEY:-}" ]; then
  cat <<EOF
The update program takes a release whose signed manifest says release $release_number or later. With the
packages of the release (made elsewhere) and its What's New text, write and sign the manifest with the
package key's private half:
  scripts/release/release-signing.sh manifest keys/release-private.pem MANIFEST_DIR $release_number [--days 30] \\
    QuillfeedSetup.exe Quillfeed.zip whatsnew.txt
and publish MANIFEST_DIR/release.manifest and release.manifest.sig as /dist/release.manifest and
/dist/release.manifest.sig together with the files; sign it again before it expires (30 days by default).
EOF
fi
echo "The files ship without symbols: $build_dir/symbols/ holds them as linked, to read the addresses of a crash report; keep a copy with the release."
