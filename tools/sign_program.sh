#!/usr/bin/env bash
# Signs a program with Authenticode (SHA-256, the program's name as its description)
# as the maintainer's certificate and key allow: PEM files named by DUSTMARROW_SIGN_CERT
# and DUSTMARROW_SIGN_KEY. The signing time is SOURCE_DATE_EPOCH, the sources' time, so
# the same program, certificate and key give the same bytes. A timestamp from the RFC
# 3161 server named by DUSTMARROW_SIGN_TIMESTAMP_URL is the server's own, and so is not
# the same twice. A certificate that cannot sign is refused in one line on stderr, and
# nothing is written.
#   sign_program.sh PROGRAM.exe SIGNED.exe
set -euo pipefail
program=$1 signed=$2
cert=${DUSTMARROW_SIGN_CERT:-} key=${DUSTMARROW_SIGN_KEY:-}
refuse() {
    echo "not signed: $*" >&2
    exit 1
}

[ -n "$cert" ] && [ -n "$key" ] || refuse "DUSTMARROW_SIGN_CERT and DUSTMARROW_SIGN_KEY name the certificate and its key; both are needed"
for file in "$cert" "$key"; do
    [ -f "$file" ] && [ -r "$file" ] || refuse "cannot read $file"
done
openssl x509 -in "$cert" -noout 2>/dev/null || refuse "$cert is not a PEM certificate"
key_public=$(openssl pkey -in "$key" -pubout -passin pass: 2>/dev/null </dev/null) ||
    refuse "$key is not a PEM private key without a passphrase"
[ "$(openssl x509 -in "$cert" -noout -pubkey)" = "$key_public" ] || refuse "$key is not the key of the certificate $cert"
now=$(date +%s)
not_before=$(date -d "$(openssl x509 -in "$cert" -noout -startdate | cut -d= -f2)" +%s)
not_after=$(date -d "$(openssl x509 -in "$cert" -noout -enddate | cut -d= -f2)" +%s)
[ "$now" -lt "$not_after" ] || refuse "the certificate $cert expired on $(date -u -d "@$not_after" +%F)"
[ "$now" -ge "$not_before" ] || refuse "the certificate $cert is valid only from $(date -u -d "@$not_before" +%F)"
# A certificate that names what it is for must name code signing and digital signatures.
usage=$(openssl x509 -in "$cert" -noout -ext extendedKeyUsage 2>/dev/null | sed '1d; s/^ *//')
[ -z "$usage" ] || [[ ", $usage, " == *", Code Signing, "* ]] || refuse "the certificate $cert cannot sign code: it is for $usage"
usage=$(openssl x509 -in "$cert" -noout -ext keyUsage 2>/dev/null | sed '1d; s/^ *//')
[ -z "$usage" ] || [[ ", $usage, " == *", Digital Signature, "* ]] || refuse "the certificate $cert cannot sign code: its key is for $usage"

command=(osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "Dustmarrow 2.0 Setup"
    -time "${SOURCE_DATE_EPOCH:?}" -in "$program" -out "$signed.part")
[ -z "${DUSTMARROW_SIGN_TIMESTAMP_URL:-}" ] || command+=(-ts "$DUSTMARROW_SIGN_TIMESTAMP_URL")
rm -f "$signed.part"
"${command[@]}" 2>&1 || refuse "osslsigncode failed ($?); its output is with the rest of the build's"
mv "$signed.part" "$signed"
