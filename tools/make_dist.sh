#!/usr/bin/env bash
# Packs the release a player downloads: the program, its players' text as README.txt
# with CRLF line ends (as Notepad on any Windows shows it) and the files' SHA-256 sums.
# The same inputs give the same zip, byte for byte: fixed order, modes and times.
#   make_dist.sh PROGRAM.exe PLAYERS.txt OUT.zip
set -euo pipefail
program=$1 text=$2 out=$3
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

cp "$program" "$stage/DustmarrowSetup.exe"
sed 's/\r*$/\r/' "$text" >"$stage/README.txt"
(cd "$stage" && sha256sum DustmarrowSetup.exe README.txt >SHA256SUMS)
chmod 644 "$stage"/*
# The time of the sources, not of the build: the commit's, as SOURCE_DATE_EPOCH has it.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$(dirname "$text")" log -1 --format=%ct)}
touch -d "@$epoch" "$stage"/*

mkdir -p "$(dirname "$out")"
rm -f "$out"
out=$(realpath "$out")
# -X: no owner or extra time fields; -D: no folder entries. Zip keeps local times.
(cd "$stage" && TZ=UTC zip -q -X -D "$out" DustmarrowSetup.exe README.txt SHA256SUMS)
