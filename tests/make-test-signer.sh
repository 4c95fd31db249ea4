#!/usr/bin/env bash
# A throwaway certificate authority and a code-signing certificate from it,
# for the signing tests: DIR/ca.pem, DIR/signer.pem, DIR/signer.key and
# DIR/signer.p12 (both in one PKCS#12 file, password PASSWORD).
#
#   tests/make-test-signer.sh DIR PASSWORD
set -euo pipefail
dir=${1:?usage: make-test-signer.sh DIR PASSWORD}
password=${2:?usage: make-test-signer.sh DIR PASSWORD}
mkdir -p "$dir"
cat >"$dir/openssl.cnf" <<'CNF'
[req]
distinguished_name = dn
[dn]
[authority]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
{
  openssl req -config "$dir/openssl.cnf" -x509 -newkey rsa:2048 -nodes -days 2 \
    -subj "/CN=QAR test authority" -extensions authority -keyout "$dir/ca.key" -out "$dir/ca.pem"
  openssl req -config "$dir/openssl.cnf" -new -newkey rsa:2048 -nodes \
    -subj "/O=QAR/CN=QAR test signer" -keyout "$dir/signer.key" -out "$dir/signer.csr"
  openssl x509 -req -in "$dir/signer.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -set_serial 2 \
    -days 2 -extfile "$dir/openssl.cnf" -extensions signer -out "$dir/signer.pem"
  openssl pkcs12 -export -in "$dir/signer.pem" -inkey "$dir/signer.key" \
    -out "$dir/signer.p12" -passout "pass:$password"
} >"$dir/openssl.log" 2>&1 || { cat "$dir/openssl.log" >&2; exit 1; }
