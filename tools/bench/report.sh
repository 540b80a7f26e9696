#!/usr/bin/env bash
# Writes what the start-up benchmark measured into OUT.md: everything below its first
# line "## Last measured" is replaced; the text above stays. Each figure is had before
# OUT.md is touched, so a report that cannot be made leaves it as it was.
#   report.sh ARCH RUNS ROWS_FILE TOOLS_DIR PROGRAM LANE OUT.md
# ARCH is i686 or x64: which build was measured, and which binutils read it. ROWS_FILE
# is what startup_bench printed: one table row for the program and one for the floor.
# LANE is the lane it ran in, as dev names it ("wine10-i686: the i686 tree, ...").
set -euo pipefail
shopt -s inherit_errexit
arch=$1 runs=$2 rows=$3 tools=$4 program=$5 lane=$6 out=$7
fail() { echo "report.sh: $*" >&2; exit 2; }
case $arch in
i686) binutils=i686-w64-mingw32 why=", the one players get" ;;
x64) binutils=x86_64-w64-mingw32 why=": the i686 tree's lane cannot run on this machine" ;;
*) fail "no architecture $arch" ;;
esac
[[ $runs =~ ^[1-9][0-9]*$ ]] || fail "no number of runs: $runs"
[ -n "$lane" ] || fail "no lane named"
text=$(sed '/^## Last measured\r*$/q' "$out" | tr -d '\r')
[ "${text##*$'\n'}" = "## Last measured" ] || fail "$out has no line \"## Last measured\""
measured=$(<"$rows")
awk -F'|' '$2 ~ /^ (program|floor) $/ && $4 > 0 && $6 > 0 {seen[$2]++} END {exit !(NR == 2 && length(seen) == 2)}' "$rows" ||
    fail "$rows does not hold one row of medians for the program and one for the floor"

# Size, and how many DLLs and functions an executable imports.
facts() {
    local size
    size=$(stat -c %s "$1")
    "$binutils-objdump" -p "$1" | awk -v size="$size" '
        /DLL Name:/ {dlls++; inside = 1; next}
        inside && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]/ {functions++}
        END {printf "%s | %d | %d", size, dlls, functions}'
}
# The program's median over the floor's, in the rows' column $1, against the target.
ratio() {
    awk -F'|' -v column="$1" '$2 ~ /program/ {p = $column} $2 ~ /floor/ {f = $column}
        END {r = sprintf("%.3f", p / f); printf "%s | at most 1.05 | %s", r, r + 0 <= 1.05 ? "met" : "missed"}' "$rows"
}

stripped=$(mktemp --suffix=.exe) part=""
trap 'rm -f "$stripped" "$part"' EXIT
"$binutils-strip" -o "$stripped" "$tools/startup_floor_runtime.exe"
wine=$("$(dirname "$0")/../lane.sh" "$arch" --version)
time_ratio=$(ratio 4)
memory_ratio=$(ratio 6)
program_facts=$(facts "$program")
floor_facts=$(facts "$tools/startup_floor.exe")
runtime_facts=$(facts "$tools/startup_floor_runtime.exe")
stripped_facts=$(facts "$stripped")
runtime_dlls=$("$binutils-objdump" -p "$tools/startup_floor_runtime.exe" | awk '/DLL Name:/ {printf "%s`%s`", n++ ? ", " : "", $3}')

part=$(mktemp "$out.XXXXXX")
cat >"$part" <<EOF
$text

On $(date -u '+%Y-%m-%d %H:%M UTC'), in the lane $lane.
$(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), $(free -g | awk '/Mem:/ {print $2}') GiB, $(. /etc/os-release && echo "$PRETTY_NAME"), $wine.
The $arch build was measured$why; each executable started $runs times.

| Executable | Runs | Start-up median (ms) | Range (ms) | Peak working set median (KiB) | Range (KiB) |
|---|---|---|---|---|---|
$measured

| Program / floor | Ratio | Target | |
|---|---|---|---|
| Start-up | $time_ratio |
| Peak working set | $memory_ratio |

| Executable | Bytes | DLLs imported | Functions imported |
|---|---|---|---|
| DustmarrowSetup.exe (the program, no runtime; its target at most 8 KiB, 8,192 bytes) | $program_facts |
| floor, no runtime | $floor_facts |
| floor, MinGW's default build (C runtime) | $runtime_facts |
| the same, stripped | $stripped_facts |

MinGW's default build imports $runtime_dlls.
EOF
chmod --reference="$out" "$part"
mv "$part" "$out"
