#!/bin/bash
# The release command's refusals, one row each: every bad setting ends the
# command with exit status 1 and one line that names the fault, before any
# build, and leaves the release folder as it was: absent, an earlier
# release, or a folder of someone else's.
#   bad-input.sh SOURCE_DIR CHECK_DIR
# CHECK_DIR/certificates holds the test certificates.
set -u
release=$1/scripts/release.sh
check=$2
certs=$check/certificates
scratch=$check/bad-input
rm -rf "$scratch"
mkdir -p "$scratch"
failures=0
rows=0

# The folder as it stands: names and contents.
snapshot() { [ -d "$1" ] && (cd "$1" && ls -A && cat -- *) | sha256sum; }

# refuses ROW FRAGMENT OUT_DIR [SETTING=value...]
refuses() {
  local row=$1 fragment=$2 out=$3
  shift 3
  rows=$((rows + 1))
  local before status output
  before=$(snapshot "$out")
  # Nothing from the caller's environment: only the row's settings, on top
  # of an https:// publisher URL without a package key, which is accepted. A
  # build that should never start goes to a folder of its own, not to
  # build/release.
  output=$(env -u QUILLFEED_PACKAGE_PUBLIC_KEY -u QUILLFEED_RELEASE_NUMBER -u QUILLFEED_SIGNING_CERT -u QUILLFEED_SIGNING_KEY \
             -u QUILLFEED_SIGNING_PFX -u QUILLFEED_SIGNING_PASSWORD -u QUILLFEED_TIMESTAMP_URL \
             QF_RELEASE_BUILD_DIR="$scratch/build" QUILLFEED_PUBLISHER_URL=https://updates.quillfeed.example \
             "$@" bash "$release" "$out" 2>&1)
  status=$?
  local problems=()
  [ $status -eq 1 ] || problems+=("exit status $status")
  [ "$(grep -c '' <<<"$output")" -eq 1 ] || problems+=("$(grep -c '' <<<"$output") lines")
  [[ $output == "release: "*"$fragment"* ]] || problems+=("no \"$fragment\"")
  [ "$(snapshot "$out")" = "$before" ] || problems+=("the release folder changed")
  ls -A "$(dirname "$out")" | grep -q '\.staging\.\|\.old\.' && problems+=("a staging folder was left")
  [ ! -e "$scratch/build/dist" ] || problems+=("a build was started")
  # What a faulty row left must not fail the next one.
  rm -rf "$scratch/build/dist" "$new"
  if [ ${#problems[@]} -eq 0 ]; then
    echo "ok: $row: $output"
  else
    failures=$((failures + 1))
    echo "FAIL: $row: $(IFS=';'; echo "${problems[*]}")"
    sed 's/^/    /' <<<"$output"
  fi
}

new=$scratch/release
previous=$scratch/previous
mkdir -p "$previous"
for file in QuillfeedUpdater.exe Lantern.dll Kestrel.dll SHA256SUMS; do echo "earlier $file" >"$previous/$file"; done
theirs=$scratch/theirs
mkdir -p "$theirs"
echo "notes" >"$theirs/notes.txt"
pem() { echo "QUILLFEED_SIGNING_CERT=$certs/$1" "QUILLFEED_SIGNING_KEY=$certs/$2"; }
pfx() { echo "QUILLFEED_SIGNING_PFX=$certs/$1" "QUILLFEED_SIGNING_PASSWORD=$2"; }

refuses "no publisher URL" "QUILLFEED_PUBLISHER_URL is not set" "$new" QUILLFEED_PUBLISHER_URL=
refuses "a URL with a trailing slash" "without a trailing slash" "$new" QUILLFEED_PUBLISHER_URL=https://updates.example.org/
refuses "a release number with a leading zero" "QUILLFEED_RELEASE_NUMBER must be" "$new" QUILLFEED_RELEASE_NUMBER=012
http=QUILLFEED_PUBLISHER_URL=http://updates.quillfeed.example
refuses "an http:// URL without a package key" "needs a package key" "$new" $http
refuses "an http:// URL with a package key of blanks" "needs a package key" "$new" $http "QUILLFEED_PACKAGE_PUBLIC_KEY= "
# With a key, an http:// URL gets as far as the certificate.
refuses "an http:// URL with a package key" "is not for code signing" "$new" $http QUILLFEED_PACKAGE_PUBLIC_KEY=MFkw \
  $(pem server.pem server.key)
refuses "a server certificate" "is not for code signing" "$new" $(pem server.pem server.key)
refuses "an expired certificate" "expired on" "$new" $(pem expired.pem signer.key)
refuses "another certificate's key" "does not belong to" "$new" $(pem signer.pem other.key)
refuses "no key" "the private key is missing" "$new" "QUILLFEED_SIGNING_CERT=$certs/signer.pem"
refuses "no key file" "Cannot read the private key" "$new" $(pem signer.pem missing.key)
refuses "an encrypted key" "is not an unencrypted PEM private key" "$new" $(pem signer.pem encrypted.key)
refuses "a wrong password" "Wrong password" "$new" $(pfx signer.pfx wrong-password)
refuses "a PKCS#12 file without its key" "holds no private key" "$new" $(pfx cert-only.pfx quillfeed-test)
refuses "both kinds of certificate" "not both" "$new" $(pem signer.pem signer.key) $(pfx signer.pfx quillfeed-test)
refuses "an earlier release and a bad setting" "Wrong password" "$previous" $(pfx signer.pfx wrong-password)
refuses "a folder of other files" "holds other files than a release's" "$theirs" $(pem signer.pem signer.key)

echo "$((rows - failures)) of $rows refusals as they should be"
[ $failures -eq 0 ]
