#!/usr/bin/env bash
# The signed release, with throw-away certificates: its program verifies against the
# certificate and fails with one byte changed, loses the signature back to the
# unsigned image, and is the same zip when made twice; a certificate that cannot sign
# is refused in one line, and no zip is left.
#   check_signing.sh SOURCE_DIR PROGRAM SCRATCH
set -euo pipefail
source_dir=$1 program=$2 scratch=$3
make=$source_dir/tools/make_dist.sh text=$source_dir/docs/players.txt
rm -rf "$scratch"
mkdir -p "$scratch/other" "$scratch/unpacked"
for kind in signer expired server; do
    "$source_dir/tests/throwaway_certificate.sh" "$scratch" "$kind" "$kind"
done
cd "$scratch"
export SOURCE_DATE_EPOCH=1700000000
sign_with() { DUSTMARROW_SIGN_CERT=$1 DUSTMARROW_SIGN_KEY=$2 "$make" "$3" "$text" "$4"; }

sign_with signer.pem signer.key "$program" first.zip >/dev/null
cp "$program" other/program.exe
touch -d '2001-02-03 04:05:06' other/program.exe
(umask 077 && sign_with signer.pem signer.key other/program.exe second.zip >/dev/null)
cmp first.zip second.zip

unzip -q first.zip -d unpacked
(cd unpacked && sha256sum --quiet -c SHA256SUMS)
signed=unpacked/DustmarrowSetup.exe
verified=$(osslsigncode verify -CAfile signer.pem -in "$signed")
for wanted in "Message digest algorithm *: SHA256" "Text description: Dustmarrow 2.0 Setup" \
    "Signing time: $(TZ=UTC date -d @$SOURCE_DATE_EPOCH '+%b %e %H:%M:%S %Y')" "Signature verification: ok"; do
    grep -q "$wanted" <<<"$verified" || { echo "the signed program's verification lacks '$wanted':"; echo "$verified"; exit 1; }
done

# One byte of the code changed: the signature no longer holds.
cp "$signed" changed.exe
printf '\x90' | dd of=changed.exe bs=1 seek=1100 conv=notrunc status=none
! osslsigncode verify -CAfile signer.pem -in changed.exe >/dev/null 2>&1 || { echo "a changed program still verifies"; exit 1; }

# Without its signature it is the unsigned image again, but for the PE checksum that
# signing fills in (4 bytes, 64 bytes into the optional header).
osslsigncode remove-signature -in "$signed" -out unsigned.exe >/dev/null
headers=$(od -A n -t u4 -j 60 -N 4 "$program" | tr -d ' ')
checksum=$((headers + 24 + 64 + 1))
differing=$({ cmp -l "$program" unsigned.exe || true; } | awk -v from=$checksum '$1 < from || $1 > from + 3' | wc -l)
[ "$(stat -c %s unsigned.exe)" = "$(stat -c %s "$program")" ] && [ "$differing" = 0 ] ||
    { echo "removing the signature does not give back the unsigned image"; cmp -l "$program" unsigned.exe | head; exit 1; }

# cert | key | what the one line says
refused=(
    "signer.pem|server.key|server.key is not the key of the certificate signer.pem"
    "expired.pem|expired.key|the certificate expired.pem expired on 2020-02-01"
    "server.pem|server.key|the certificate server.pem cannot sign code: it is for TLS Web Server Authentication"
    "missing.pem|signer.key|cannot read missing.pem"
    "signer.pem||DUSTMARROW_SIGN_CERT and DUSTMARROW_SIGN_KEY name the certificate and its key; both are needed"
)
failures=0
for case in "${refused[@]}"; do
    IFS='|' read -r cert key line <<<"$case"
    cp first.zip refused.zip
    status=0
    said=$(sign_with "$cert" "$key" "$program" refused.zip 2>&1 >/dev/null) || status=$?
    if [ $status = 0 ] || [ "$said" != "not signed: $line" ] || [ -e refused.zip ]; then
        echo "FAILED: $cert and '$key': exit $status, zip $([ -e refused.zip ] && echo left || echo gone), said:"
        echo "$said"
        failures=$((failures + 1))
    fi
done
[ $failures = 0 ] || exit 1
echo "signed release: $(sha256sum <first.zip | cut -d' ' -f1), program $(stat -c %s "$signed") bytes"
cd / && rm -rf "$scratch"
