#!/usr/bin/env bash
# Writes what the start-up benchmark measured into OUT.md, below its line "## Last
# measured", from the rows startup_bench printed; the text above that line stays.
#   report.sh ARCH RUNS ROWS_FILE TOOLS_DIR PROGRAM OUT.md
# ARCH is i686 or x64: which build was measured, and which binutils read it.
set -euo pipefail
arch=$1 runs=$2 rows=$3 tools=$4 program=$5 out=$6
case $arch in
i686) binutils=i686-w64-mingw32 why=", the one players get" ;;
x64) binutils=x86_64-w64-mingw32 why=": this machine cannot run 32-bit programs" ;;
*) echo "report.sh: no architecture $arch" >&2; exit 2 ;;
esac
text=$(sed '/^## Last measured$/q' "$out")
[ "${text##*$'\n'}" = "## Last measured" ] || { echo "report.sh: $out has no line \"## Last measured\"" >&2; exit 2; }

# Size, and how many DLLs and functions an executable imports.
facts() {
    "$binutils-objdump" -p "$1" | awk -v size="$(stat -c %s "$1")" '
        /DLL Name:/ {dlls++; inside = 1; next}
        inside && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]/ {functions++}
        END {printf "%s | %d | %d", size, dlls, functions}'
}
# The program's median over the floor's, in the rows' column $1, against the target.
ratio() {
    awk -F'|' -v column="$1" '$2 ~ /program/ {p = $column} $2 ~ /floor/ {f = $column}
        END {r = sprintf("%.3f", p / f); printf "%s | at most 1.05 | %s", r, r + 0 <= 1.05 ? "met" : "missed"}' "$rows"
}

stripped=$(mktemp --suffix=.exe)
trap 'rm -f "$stripped" "$out.part"' EXIT
"$binutils-strip" -o "$stripped" "$tools/startup_floor_runtime.exe"
wine="$("$(dirname "$0")/../lane.sh" "$arch" --version) in the lane $DUSTMARROW_LANE"
cat >"$out.part" <<EOF
$text

On $(date -u '+%Y-%m-%d %H:%M UTC'): $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')),
$(free -g | awk '/Mem:/ {print $2}') GiB, $(. /etc/os-release && echo "$PRETTY_NAME"), $wine.
The $arch build was measured$why; each executable started $runs times.

| Executable | Runs | Start-up median (ms) | Range (ms) | Peak working set median (KiB) | Range (KiB) |
|---|---|---|---|---|---|
$(cat "$rows")

| Program / floor | Ratio | Target | |
|---|---|---|---|
| Start-up | $(ratio 4) |
| Peak working set | $(ratio 6) |

| Executable | Bytes | DLLs imported | Functions imported |
|---|---|---|---|
| DustmarrowSetup.exe (the program, no runtime) | $(facts "$program") |
| floor, no runtime | $(facts "$tools/startup_floor.exe") |
| floor, MinGW's default build (C runtime) | $(facts "$tools/startup_floor_runtime.exe") |
| the same, stripped | $(facts "$stripped") |

MinGW's default build imports $("$binutils-objdump" -p "$tools/startup_floor_runtime.exe" | awk '/DLL Name:/ {printf "%s`%s`", n++ ? ", " : "", $3}').
EOF
mv "$out.part" "$out"
