#!/usr/bin/env bash
# Generates a throwaway PKI for tests into <dir>:
#   ca.pem / ca.key                 the trusted test CA (install as conf/rootcert.pem)
#   server.pem / server.key         valid, for IP 127.0.0.1, ::1 and DNS localhost
#   expired.pem / expired.key       same names, validity ended in 2020
#   wrongip.pem / wrongip.key       valid, but only for IP 127.0.0.2 and DNS wrong.invalid
#   untrusted.pem / untrusted.key   valid names, signed by another CA (other-ca.pem)
#   client.pem / client.key         a client certificate from the trusted CA
# usage: make_test_pki.sh <dir>
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"

newkey() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

make_ca() {  # <name> <subject>
  newkey "$1.key"
  openssl req -x509 -new -key "$1.key" -sha256 -days 3650 -subj "$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -out "$1.pem" 2>/dev/null
}

# A minimal CA database so that `openssl ca` can set explicit validity dates.
ca_conf() {  # <ca name>
  mkdir -p "db-$1"
  : > "db-$1/index.txt"
  [ -f "db-$1/serial" ] || echo 1000 > "db-$1/serial"
  cat > "db-$1/ca.cnf" <<CNF
[ca]
default_ca = local
[local]
database = db-$1/index.txt
serial = db-$1/serial
new_certs_dir = db-$1
certificate = $1.pem
private_key = $1.key
default_md = sha256
policy = any
unique_subject = no
copy_extensions = copy
[any]
commonName = supplied
CNF
}

issue() {  # <ca> <name> <subject> <subjectAltName> <start> <end> [extendedKeyUsage]
  local ca=$1 name=$2 subj=$3 san=$4 start=$5 end=$6 eku=${7:-serverAuth}
  newkey "$name.key"
  openssl req -new -key "$name.key" -subj "$subj" -addext "subjectAltName=$san" \
    -addext "extendedKeyUsage=$eku" -out "$name.csr" 2>/dev/null
  ca_conf "$ca"
  openssl ca -batch -config "db-$ca/ca.cnf" -in "$name.csr" -out "$name.pem" -notext \
    -startdate "$start" -enddate "$end" 2>/dev/null
  rm -f "$name.csr"
}

now=$(date -u +%Y%m%d%H%M%SZ -d '-1 day')
later=$(date -u +%Y%m%d%H%M%SZ -d '+30 days')
make_ca ca "/CN=gravel test CA"
make_ca other-ca "/CN=gravel untrusted CA"
issue ca server "/CN=127.0.0.1" "IP:127.0.0.1,IP:::1,DNS:localhost" "$now" "$later"
issue ca expired "/CN=127.0.0.1" "IP:127.0.0.1,IP:::1,DNS:localhost" 20200101000000Z 20200201000000Z
issue ca wrongip "/CN=127.0.0.2" "IP:127.0.0.2,DNS:wrong.invalid" "$now" "$later"
issue other-ca untrusted "/CN=127.0.0.1" "IP:127.0.0.1,IP:::1,DNS:localhost" "$now" "$later"
issue ca client "/CN=gravel test client" "DNS:client.invalid" "$now" "$later" clientAuth
rm -rf db-ca db-other-ca
chmod 600 ./*.key
