#!/bin/bash
# Throwaway code-signing certificates for the tests and the demo, made with
# openssl into DIR (never into the source tree, never committed):
#
#   ca.pem                  the test CA (the one to verify against)
#   signer.pem, signer.key  a code-signing certificate issued by it, and its key
#   signer.pfx              both with the CA in PKCS#12, password in pfx-password
#
# and, for the tests of the release command's refusals:
#
#   server.pem, server.key  issued by the CA for servers only, not for code
#   expired.pem             code signing, with signer.key, valid in 2020 only
#   other.key               a key that belongs to no certificate here
#   encrypted.key           signer.key under a pass phrase
#   cert-only.pfx           signer.pem without its key, password in pfx-password
#
#   test-certificates.sh DIR
# Made again only when DIR has none, or the signer's has less than a day left.
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
if [ -e cert-only.pfx ] && openssl x509 -in signer.pem -checkend 86400 -noout >/dev/null 2>&1; then
  exit 0
fi

quiet() {
  local out
  out=$("$@" 2>&1) || { printf 'failed: %s\n%s\n' "$*" "$out" >&2; exit 1; }
}

quiet openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -keyout ca.key -out ca.pem \
  -subj "/CN=Quillfeed Test Code Signing CA" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
for key in signer server other; do
  quiet openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out $key.key
done

rm -rf ca-db && mkdir ca-db && : > ca-db/index.txt
cat > ca-db/ca.cnf <<'CNF'
[ca]
default_ca = test_ca
[test_ca]
dir = ca-db
database = $dir/index.txt
new_certs_dir = $dir
rand_serial = yes
default_md = sha256
policy = anything
copy_extensions = none
unique_subject = no
[anything]
commonName = supplied
organizationName = optional
[code]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
CNF
# issue NAME KEY SUBJECT EXTENSIONS DATES...
issue() {
  local name=$1 key=$2 subject=$3 extensions=$4
  shift 4
  quiet openssl req -new -key "$key" -subj "/CN=$subject/O=Quillfeed Test Publisher" -out "$name.csr"
  quiet openssl ca -batch -config ca-db/ca.cnf -cert ca.pem -keyfile ca.key -extensions "$extensions" \
    -in "$name.csr" -out "$name.pem" -notext "$@"
  rm -f "$name.csr"
}
issue signer signer.key "Quillfeed Test Publisher" code -days 30
issue server server.key "updates.quillfeed.example" server -days 30
issue expired signer.key "Quillfeed Test Publisher" code -startdate 20200101000000Z -enddate 20201231000000Z

echo "quillfeed-test" > pfx-password
quiet openssl pkcs12 -export -in signer.pem -inkey signer.key -certfile ca.pem -passout file:pfx-password \
  -out signer.pfx
quiet openssl pkcs12 -export -nokeys -in signer.pem -passout file:pfx-password -out cert-only.pfx
quiet openssl pkey -in signer.key -aes256 -passout pass:quillfeed-test -out encrypted.key
