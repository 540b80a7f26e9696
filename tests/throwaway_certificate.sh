#!/usr/bin/env bash
# Makes a throw-away self-signed certificate and its key, DIR/NAME.pem and DIR/NAME.key,
# of one KIND: signer (signs code, valid from yesterday for a week), expired (signs
# code, valid only in January 2020) or server (valid, for TLS servers only).
#   throwaway_certificate.sh DIR NAME KIND
set -euo pipefail
dir=$1 name=$2 kind=$3
mkdir -p "$dir"
cd "$dir"
usage=codeSigning start=$(date -u -d yesterday +%Y%m%d%H%M%SZ) end=$(date -u -d '7 days' +%Y%m%d%H%M%SZ)
case $kind in
signer) ;;
expired) start=20200101000000Z end=20200201000000Z ;;
server) usage=serverAuth ;;
*) exit 2 ;;
esac
cat >"$name.cnf" <<EOF
[ca]
default_ca = throwaway
[throwaway]
database = $name.index
new_certs_dir = .
serial = $name.serial
default_md = sha256
policy = anything
[anything]
commonName = supplied
[extensions]
keyUsage = critical, digitalSignature
extendedKeyUsage = $usage
EOF
: >"$name.index"
echo 01 >"$name.serial"
openssl req -new -newkey rsa:2048 -nodes -keyout "$name.key" -subj "/CN=Dustmarrow throw-away $kind" -out "$name.csr" 2>/dev/null
openssl ca -batch -notext -selfsign -config "$name.cnf" -keyfile "$name.key" -in "$name.csr" -out "$name.pem" \
    -extensions extensions -startdate "$start" -enddate "$end" 2>/dev/null
rm -f "$name".{cnf,csr,index*,serial*} 01.pem
