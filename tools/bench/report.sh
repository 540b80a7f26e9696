#!/usr/bin/env bash
# Writes the start-up benchmark's report from the rows startup_bench printed.
#   report.sh ARCH RUNS ROWS_FILE TOOLS_DIR PROGRAM OUT.md
# ARCH is i686 or x64: which build was measured, and which binutils read it.
set -euo pipefail
arch=$1 runs=$2 rows=$3 tools=$4 program=$5 out=$6
case $arch in
i686) binutils=i686-w64-mingw32 why=", the one players get" ;;
x64) binutils=x86_64-w64-mingw32 why=": this machine cannot run 32-bit programs" ;;
*) echo "report.sh: no architecture $arch" >&2; exit 2 ;;
esac

# Size, and how many DLLs and functions an executable imports.
facts() {
    "$binutils-objdump" -p "$1" | awk -v size="$(stat -c %s "$1")" '
        /DLL Name:/ {dlls++; inside = 1; next}
        inside && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]/ {functions++}
        END {printf "%s | %d | %d", size, dlls, functions}'
}
ratio() { awk -F'|' -v column="$1" '$2 ~ /program/ {p = $column} $2 ~ /floor/ {f = $column} END {printf "%.3f", p / f}' "$rows"; }
verdict() { awk -v r="$(ratio "$1")" 'BEGIN {print (r <= 1.05) ? "met" : "missed"}'; }

stripped=$(mktemp --suffix=.exe)
trap 'rm -f "$stripped"' EXIT
"$binutils-strip" -o "$stripped" "$tools/startup_floor_runtime.exe"

declare -A fields=(
    [DATE]=$(date -u '+%Y-%m-%d %H:%M UTC')
    [MACHINE]="$(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), $(free -g | awk '/Mem:/ {print $2}') GiB, $(. /etc/os-release && echo "$PRETTY_NAME")"
    [WINE]="$("$(dirname "$0")/../lane.sh" "$arch" --version)$([ "${DUSTMARROW_WINE:-}" != root ] || echo " in the Debian 13 root")"
    [ARCH]=$arch [ARCH_WHY]=$why [RUNS]=$runs [ROWS]=$(cat "$rows")
    [TIME_RATIO]=$(ratio 4) [TIME_VERDICT]=$(verdict 4)
    [MEMORY_RATIO]=$(ratio 6) [MEMORY_VERDICT]=$(verdict 6)
    [PROGRAM_FACTS]=$(facts "$program") [FLOOR_FACTS]=$(facts "$tools/startup_floor.exe")
    [RUNTIME_FACTS]=$(facts "$tools/startup_floor_runtime.exe") [STRIPPED_FACTS]=$(facts "$stripped")
    [RUNTIME_DLLS]=$("$binutils-objdump" -p "$tools/startup_floor_runtime.exe" | awk '/DLL Name:/ {printf "%s`%s`", n++ ? ", " : "", $3}')
)
report=$(cat "$(dirname "$0")/report.md.in")
for field in "${!fields[@]}"; do report=${report//@$field@/${fields[$field]}}; done
mkdir -p "$(dirname "$out")"
printf '%s\n' "$report" >"$out"
