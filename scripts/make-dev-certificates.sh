#!/usr/bin/env bash
# Generates the development TLS data of the secure command listener (port 51869):
#   resources/Orlendi.pem  server certificate (localhost, 127.0.0.1, ::1), then the intermediate, then the root
#   resources/Orlendi.key  the server's unencrypted RSA private key (PKCS#1 PEM)
#   resources/dev-root-ca.pem  the development root, to trust in a browser or a test
# This is development data only; a deployment replaces the two resource files with its own chain.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/root.ext" <<'EXT'
basicConstraints=critical,CA:true
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
EXT
cat >"$work/intermediate.ext" <<'EXT'
basicConstraints=critical,CA:true,pathlen:0
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
EXT
cat >"$work/server.ext" <<'EXT'
basicConstraints=critical,CA:false
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
EXT

openssl genrsa -out "$work/root.key" 2048 2>/dev/null
openssl req -new -key "$work/root.key" -subj "/O=Vantrel Development/CN=Vantrel Development Root CA" \
    -out "$work/root.csr"
openssl x509 -req -in "$work/root.csr" -signkey "$work/root.key" -days 3650 -sha256 \
    -extfile "$work/root.ext" -out "$work/root.pem" 2>/dev/null

openssl genrsa -out "$work/intermediate.key" 2048 2>/dev/null
openssl req -new -key "$work/intermediate.key" -subj "/O=Vantrel Development/CN=Vantrel Development Intermediate CA" \
    -out "$work/intermediate.csr"
openssl x509 -req -in "$work/intermediate.csr" -CA "$work/root.pem" -CAkey "$work/root.key" -CAcreateserial \
    -days 3650 -sha256 -extfile "$work/intermediate.ext" -out "$work/intermediate.pem" 2>/dev/null

openssl genrsa -traditional -out "$work/server.key" 2048 2>/dev/null
openssl req -new -key "$work/server.key" -subj "/O=Vantrel Development/CN=localhost" -out "$work/server.csr"
openssl x509 -req -in "$work/server.csr" -CA "$work/intermediate.pem" -CAkey "$work/intermediate.key" \
    -CAcreateserial -days 825 -sha256 -extfile "$work/server.ext" -out "$work/server.pem" 2>/dev/null

cat "$work/server.pem" "$work/intermediate.pem" "$work/root.pem" >resources/Orlendi.pem
cp "$work/server.key" resources/Orlendi.key
cp "$work/root.pem" resources/dev-root-ca.pem
openssl verify -CAfile resources/dev-root-ca.pem -untrusted "$work/intermediate.pem" "$work/server.pem"
echo "development certificates written to resources/"
