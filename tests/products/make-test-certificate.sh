#!/bin/bash
# Makes a throw-away certificate authority and a code-signing certificate it
# issued, for the tests that sign a hotfix:
#   DIR/ca.pem         the authority's certificate (the trust anchor to verify with)
#   DIR/signing.p12    the signing certificate, its key and the chain, PKCS#12
#   DIR/password.txt   the PKCS#12 password
#   DIR/tsa.pem, DIR/tsa.key   a time-stamping certificate of the same
#                      authority and its key, for tests/wine/timestamp_server.py
#
#   tests/products/make-test-certificate.sh DIR
set -euo pipefail
dir=${1:?usage: make-test-certificate.sh DIR}
mkdir -p "$dir"
cd "$dir"
quiet() { local said; said=$("$@" 2>&1) || { echo "$said" >&2; exit 1; }; }

quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 \
  -subj "/CN=Velmora Test Authority" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
quiet openssl req -newkey rsa:2048 -nodes -keyout signing.key -out signing.csr \
  -subj "/CN=Velmora Test Release/O=Velmora"
printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
  "extendedKeyUsage=codeSigning" "subjectKeyIdentifier=hash" "authorityKeyIdentifier=keyid" >signing.ext
quiet openssl x509 -req -in signing.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
  -extfile signing.ext -out signing.pem
# Spaces and a quote: the password must reach the signer through its file only.
printf '%s\n' "throw away 'now'" >password.txt
quiet openssl pkcs12 -export -inkey signing.key -in signing.pem -certfile ca.pem -out signing.p12 \
  -passout file:password.txt
quiet openssl req -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.csr -subj "/CN=Velmora Test Time Stamps"
printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
  "extendedKeyUsage=critical,timeStamping" >tsa.ext
quiet openssl x509 -req -in tsa.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -extfile tsa.ext -out tsa.pem
rm -f ca.key signing.key signing.csr signing.ext tsa.csr tsa.ext ca.srl
echo "$dir: ca.pem, signing.p12, password.txt, tsa.pem, tsa.key"
