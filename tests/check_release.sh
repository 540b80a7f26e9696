#!/usr/bin/env bash
# The release zip: made twice, from files of other times and modes, it is the same
# bytes; it holds exactly the program, README.txt with CRLF ends and sums that check.
# Signed, with throw-away certificates: its program verifies against the certificate
# and fails with one byte changed, and loses the signature back to the unsigned image;
# a certificate that cannot sign is refused in one line, and no zip is left.
#   check_release.sh SOURCE_DIR PROGRAM SCRATCH [signed]
set -euo pipefail
source_dir=$1 program=$2 scratch=$3 signed=${4:-}
make=$source_dir/tools/make_dist.sh text=$source_dir/docs/players.txt
rm -rf "$scratch"
mkdir -p "$scratch/other" "$scratch/unpacked"
cd "$scratch"
if [ -n "$signed" ]; then
    for kind in signer expired server; do "$source_dir/tests/throwaway_certificate.sh" . "$kind" "$kind"; done
    # Unsigned, the zip takes the sources' time from git.
    export SOURCE_DATE_EPOCH=1700000000 DUSTMARROW_SIGN_CERT=signer.pem DUSTMARROW_SIGN_KEY=signer.key
fi
"$make" "$program" "$text" first.zip >/dev/null
cp "$program" other/program.exe
touch -d '2001-02-03 04:05:06' other/program.exe
(umask 077 && "$make" other/program.exe "$text" second.zip >/dev/null)
cmp first.zip second.zip
[ "$(unzip -Z1 first.zip | tr '\n' ' ')" = "DustmarrowSetup.exe README.txt SHA256SUMS " ]
unzip -q first.zip -d unpacked
(cd unpacked && sha256sum --quiet -c SHA256SUMS && [ "$(grep -c -v $'\r$' README.txt)" = 0 ])
tr -d '\r' <unpacked/README.txt | cmp - "$text"
shipped=unpacked/DustmarrowSetup.exe
if [ -z "$signed" ]; then
    cmp "$shipped" "$program"
    echo "release: $(sha256sum <first.zip | cut -d' ' -f1)"
    cd / && rm -rf "$scratch" && exit
fi

verified=$(osslsigncode verify -CAfile signer.pem -in "$shipped")
for wanted in "Message digest algorithm *: SHA256" "Text description: Dustmarrow 2.0 Setup" \
    "Signing time: $(TZ=UTC date -d @$SOURCE_DATE_EPOCH '+%b %e %H:%M:%S %Y')" "Signature verification: ok"; do
    grep -q "$wanted" <<<"$verified" || { echo "the signed program's verification lacks '$wanted':"; echo "$verified"; exit 1; }
done
# One byte of the code changed: the signature no longer holds.
cp "$shipped" changed.exe
printf '\x90' | dd of=changed.exe bs=1 seek=1100 conv=notrunc status=none
! osslsigncode verify -CAfile signer.pem -in changed.exe >/dev/null 2>&1 || { echo "a changed program still verifies"; exit 1; }
# Without its signature it is the unsigned image again, but for the PE checksum that
# signing fills in (4 bytes, 64 bytes into the optional header).
osslsigncode remove-signature -in "$shipped" -out unsigned.exe >/dev/null
checksum=$(($(od -A n -t u4 -j 60 -N 4 "$program") + 24 + 64 + 1))
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
    said=$(DUSTMARROW_SIGN_CERT=$cert DUSTMARROW_SIGN_KEY=$key "$make" "$program" "$text" refused.zip 2>&1 >/dev/null) || status=$?
    [ $status != 0 ] && [ "$said" = "not signed: $line" ] && [ ! -e refused.zip ] && continue
    echo "FAILED: $cert and '$key': exit $status, zip $([ -e refused.zip ] && echo left || echo gone), said:"
    echo "$said"
    failures=$((failures + 1))
done
[ $failures = 0 ] || exit 1
echo "signed release: $(sha256sum <first.zip | cut -d' ' -f1), program $(stat -c %s "$shipped") bytes"
cd / && rm -rf "$scratch"
