#!/usr/bin/env bash
# Makes a throwaway certificate authority and server certificates for the
# HTTPS tests and the demo, in DIR (created; keys readable by the owner only).
# Nothing here is ever committed or added to the machine's trust store.
#
#   ca.pem               the test CA: the trust anchor the tests name
#   good.pem/.key        localhost, signed by the test CA
#   wrongname.pem/.key   wrong.invalid, signed by the test CA
#   expired.pem/.key     localhost, signed by the test CA, valid only in 2020
#   selfsigned.pem/.key  localhost, signed by itself
#   untrusted.pem/.key   localhost, signed by another CA nobody trusts
#
# Usage: tools/make-test-ca.sh DIR
set -euo pipefail
dir=${1:?usage: make-test-ca.sh DIR}
mkdir -p "$dir"
chmod 700 "$dir"
cd "$dir"
umask 077

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

# A CA: key and self-signed certificate.
make_ca() {
  key "$1.key"
  openssl req -x509 -new -key "$1.key" -subj "/CN=$2" -days 2 -sha256 \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    -out "$1.pem" 2>/dev/null
}
make_ca ca "winm test CA"
make_ca otherca "winm untrusted CA"

cat >ext.cnf <<'CNF'
[server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:${ENV::WINM_CERT_NAME}
CNF

# server NAME HOST ISSUER [openssl x509 options...]
server() {
  local name=$1 host=$2 issuer=$3
  shift 3
  key "$name.key"
  openssl req -new -key "$name.key" -subj "/CN=$host" -out "$name.csr" 2>/dev/null
  WINM_CERT_NAME=$host openssl x509 -req -in "$name.csr" -CA "$issuer.pem" -CAkey "$issuer.key" \
    -CAcreateserial -sha256 -extfile ext.cnf -extensions server "$@" -out "$name.pem" 2>/dev/null
  rm -f "$name.csr"
}
server good localhost ca -days 2
server wrongname wrong.invalid ca -days 2
server untrusted localhost otherca -days 2

# Expired: `openssl ca` is the command line's one way to set past dates.
mkdir -p cadb
: >cadb/index.txt
cat >ca.cnf <<'CNF'
[ca]
default_ca = test
[test]
database = cadb/index.txt
new_certs_dir = cadb
serial = cadb/serial
default_md = sha256
policy = any
copy_extensions = none
x509_extensions = server
[any]
commonName = supplied
[server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost
CNF
echo 1000 >cadb/serial
key expired.key
openssl req -new -key expired.key -subj "/CN=localhost" -out expired.csr 2>/dev/null
openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr \
  -startdate 20200101000000Z -enddate 20200201000000Z -notext -out expired.pem 2>/dev/null
rm -f expired.csr

key selfsigned.key
openssl req -x509 -new -key selfsigned.key -subj "/CN=localhost" -days 2 -sha256 \
  -addext subjectAltName=DNS:localhost -out selfsigned.pem 2>/dev/null
chmod 644 ./*.pem
