#!/usr/bin/env bash
# Builds the program again in a fresh tree with the given toolchain and compares it
# byte for byte with the one the suite tests: the same sources must always give the
# same executable.
set -euo pipefail
source_dir=$1 toolchain=$2 built=$3 scratch=$4
rm -rf "$scratch"
cmake -S "$source_dir" -B "$scratch" -G Ninja --toolchain "$toolchain" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DDUSTMARROW_PROGRAM_ONLY=ON >/dev/null
cmake --build "$scratch" --target DustmarrowSetup >/dev/null
first=$(sha256sum <"$built" | cut -d' ' -f1)
second=$(sha256sum <"$scratch/program/DustmarrowSetup.exe" | cut -d' ' -f1)
echo "suite's build: $first"
echo "fresh build:   $second"
rm -rf "$scratch"
[ "$first" = "$second" ]
