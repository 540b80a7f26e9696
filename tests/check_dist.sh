#!/usr/bin/env bash
# The release zip: made twice, from files of other times and modes, it is the same
# bytes; it holds exactly the program, README.txt with CRLF ends and sums that check.
set -euo pipefail
source_dir=$1 program=$2 scratch=$3
make=$source_dir/tools/make_dist.sh text=$source_dir/docs/players.txt
rm -rf "$scratch"
mkdir -p "$scratch/other" "$scratch/unpacked"
"$make" "$program" "$text" "$scratch/first.zip"
cp "$program" "$scratch/other/program.exe"
touch -d '2001-02-03 04:05:06' "$scratch/other/program.exe"
(umask 077 && "$make" "$scratch/other/program.exe" "$text" "$scratch/second.zip")
cmp "$scratch/first.zip" "$scratch/second.zip"

[ "$(unzip -Z1 "$scratch/first.zip" | tr '\n' ' ')" = "DustmarrowSetup.exe README.txt SHA256SUMS " ]
unzip -q "$scratch/first.zip" -d "$scratch/unpacked"
cd "$scratch/unpacked"
sha256sum --quiet -c SHA256SUMS
cmp DustmarrowSetup.exe "$program"
[ "$(grep -c -v $'\r$' README.txt)" = 0 ]
tr -d '\r' <README.txt | cmp - "$text"
echo "release: $(sha256sum <"$scratch/first.zip" | cut -d' ' -f1)"
rm -rf "$scratch"
