#!/usr/bin/env bash
# Packs the release a player downloads: the program, its players' text as README.txt
# with CRLF line ends (as Notepad on any Windows shows it) and the files' SHA-256 sums;
# or, given the test kit's program too, the test kit with its own README.txt.
# The same inputs give the same zip, byte for byte: fixed order, modes and times. Given
# a certificate and its key (DUSTMARROW_SIGN_CERT, DUSTMARROW_SIGN_KEY), the program in
# it is signed, at the same time as the zip's files; one that cannot sign writes no zip.
#   make_dist.sh PROGRAM.exe README.txt OUT.zip [TESTS.exe]
set -euo pipefail
program=$1 text=$2 out=$3 tests=${4:-}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
rm -f "$out"
# The time of the sources, not of the build: the commit's, as SOURCE_DATE_EPOCH has it.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$(dirname "$text")" log -1 --format=%ct)}

if [ -n "${DUSTMARROW_SIGN_CERT:-}${DUSTMARROW_SIGN_KEY:-}" ]; then
    SOURCE_DATE_EPOCH=$epoch "$(dirname "$0")/sign_program.sh" "$program" "$stage/DustmarrowSetup.exe"
else
    cp "$program" "$stage/DustmarrowSetup.exe"
fi
files=(DustmarrowSetup.exe)
[ -z "$tests" ] || { cp "$tests" "$stage/DustmarrowSetupTests.exe" && files+=(DustmarrowSetupTests.exe); }
files+=(README.txt)
sed 's/\r*$/\r/' "$text" >"$stage/README.txt"
(cd "$stage" && sha256sum "${files[@]}" >SHA256SUMS)
chmod 644 "$stage"/*
touch -d "@$epoch" "$stage"/*

mkdir -p "$(dirname "$out")"
out=$(realpath "$out")
# -X: no owner or extra time fields; -D: no folder entries. Zip keeps local times.
(cd "$stage" && TZ=UTC zip -q -X -D "$out" "${files[@]}" SHA256SUMS)
