#!/usr/bin/env bash
# Certificates for the TLS tests, made fresh in DIR: two CAs, server certificates for
# 127.0.0.1 (RSA and ECDSA) and a replacement from the other CA, a key that matches none of them,
# client certificates (good, with a name not allowed, from the other CA, expired).
set -euo pipefail
dir=${1:?usage: make_test_certs.sh DIR}
mkdir -p "$dir"
cd "$dir"

ec_key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null; }
rsa_key() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1.key" 2>/dev/null; }

ca() {
  ec_key "$1"
  openssl req -x509 -new -key "$1.key" -out "$1.crt" -days 30 -subj "/CN=$1" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
}

# signed NAME CA SAN USAGE [openssl ca dates]: NAME.crt for the key NAME.key, signed by CA.
signed() {
  local name=$1 ca=$2 san=$3 usage=$4
  openssl req -new -key "$name.key" -out "$name.csr" -subj "/CN=$name" 2>/dev/null
  printf 'subjectAltName=%s\nextendedKeyUsage=%s\nbasicConstraints=CA:FALSE\n' "$san" "$usage" \
    >"$name.ext"
  openssl x509 -req -in "$name.csr" -CA "$ca.crt" -CAkey "$ca.key" -CAcreateserial \
    -out "$name.crt" -days 30 -extfile "$name.ext" 2>/dev/null
  rm -f "$name.csr" "$name.ext"
}

ca ca
ca other-ca
rsa_key server-rsa && signed server-rsa ca "IP:127.0.0.1,DNS:localhost" serverAuth
ec_key server-ec && signed server-ec ca "IP:127.0.0.1,DNS:localhost" serverAuth
ec_key server-other && signed server-other other-ca "IP:127.0.0.1,DNS:localhost" serverAuth
ec_key wrong
ec_key client && signed client ca "DNS:prometheus.example,IP:10.0.0.7" clientAuth
ec_key intruder && signed intruder ca "DNS:intruder.example" clientAuth
ec_key stranger && signed stranger other-ca "DNS:prometheus.example" clientAuth

# Expired a day ago: openssl ca takes explicit dates, openssl x509 does not.
ec_key expired
mkdir -p ca-db && : >ca-db/index.txt && echo 1000 >ca-db/serial
cat >ca-db/ca.cnf <<CNF
[ca]
default_ca = test
[test]
database = ca-db/index.txt
serial = ca-db/serial
new_certs_dir = ca-db
default_md = sha256
policy = any
copy_extensions = none
x509_extensions = client
[any]
commonName = supplied
[client]
subjectAltName = DNS:prometheus.example
extendedKeyUsage = clientAuth
CNF
openssl req -new -key expired.key -out expired.csr -subj "/CN=expired" 2>/dev/null
openssl ca -batch -config ca-db/ca.cnf -cert ca.crt -keyfile ca.key -in expired.csr \
  -out expired.crt -startdate 20200101000000Z -enddate 20200102000000Z -notext 2>/dev/null
rm -rf expired.csr ca-db
# The client's certificate and key in one file, as curl and Prometheus can take them apart too.
cat client.crt client.key >client.pem
