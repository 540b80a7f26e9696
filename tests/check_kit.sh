#!/usr/bin/env bash
# The test kit as a stranger runs it: unpacked from its zip in a Wine prefix of its own
# that only wineboot made (and Wine told to draw window frames itself, as a virtual
# display has no window manager), over a maker's key full of other people's things. It
# must pass and leave that key exactly as it was; fail, and name the test, with a
# program that does not save on OK; refuse a second run at once; and, killed halfway,
# put the key back on its next run.
# It runs under the Wine that ./dev chose for the suite, in a prefix beside the suite's.
#   check_kit.sh SOURCE_DIR ARCH PROGRAM KIT.exe UNSAVING.exe SCRATCH
set -euo pipefail
source_dir=$1 arch=$2 program=$3 tests=$4 unsaving=$5 scratch=$6
prefix="${DUSTMARROW_TEST_PREFIX:?names the prefix that ./dev test made}-stranger"
unset DUSTMARROW_TEST_PREFIX
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine() { "$source_dir/tools/run_wine.sh" "$arch" "$@"; }
wineserver() { "$source_dir/tools/run_wine.sh" server "$@"; }
if [ "$arch" = x64 ]; then export WINEARCH=win64; else export WINEARCH=win32; fi
rm -rf "$scratch"
mkdir -p "$scratch"
log=$scratch/wine.log
# Wine's own output, and its services', go to the log, never to ctest's pipe.
quiet() { "$@" >>"$log" 2>&1 </dev/null; }
fail() {
    echo "FAILED: $*"
    exit 1
}
if [ ! -f "$prefix/.ready" ]; then
    rm -rf "$prefix"
    quiet wine wineboot -i
    quiet wineserver -w
    quiet wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
    quiet wineserver -w
    touch "$prefix/.ready"
fi
quiet wineserver -k || true
quiet wineserver -w || true
quiet wineserver -p
# However this ends, the prefix's server and services end with it.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

kit=$prefix/drive_c/kit
rm -rf "$kit" "$prefix/drive_c/unsaving"
"$source_dir/tools/make_dist.sh" "$program" "$source_dir/docs/kit.txt" "$scratch/kit.zip" "$tests"
unzip -q "$scratch/kit.zip" -d "$kit"
mkdir -p "$prefix/drive_c/unsaving"
cp "$unsaving" "$prefix/drive_c/unsaving/DustmarrowSetup.exe"

# Another product's key, values of several types on the maker's key, a player's
# settings, and a subkey with a value under the settings key.
maker='HKCU\SOFTWARE\Quorvanta'
quiet wine reg delete "$maker" /f || true
for value in "$maker\\Chronicle|Path|REG_SZ|C:\\Games\\Chronicle" "$maker|Installed|REG_DWORD|1" "$maker|Publisher|REG_SZ|Quorvanta" \
    "$maker|Token|REG_BINARY|00ff10a5" "$maker|Mirrors|REG_MULTI_SZ|one\\0two" "$maker|Cache|REG_EXPAND_SZ|%TEMP%\\quorvanta" \
    "$maker\\Dustmarrow|WindowFullScreen|REG_DWORD|7" "$maker\\Dustmarrow|FixAspectRatio|REG_SZ|yes" \
    "$maker\\Dustmarrow\\Mods|Enabled|REG_DWORD|0"; do
    IFS='|' read -r key name type data <<<"$value"
    quiet wine reg add "$key" /v "$name" /t "$type" /d "$data" /f
done
# The maker's key as Wine's reg exports it, into $scratch/NAME.reg; none if it is gone.
export_maker() {
    rm -f "$prefix/drive_c/$1.reg" "$scratch/$1.reg"
    quiet wine reg export "$maker" "C:\\$1.reg" /y || true
    mv "$prefix/drive_c/$1.reg" "$scratch/$1.reg" 2>/dev/null || true
}
as_before() {
    export_maker "$1"
    cmp -s "$scratch/before.reg" "$scratch/$1.reg"
}
export_maker before
iconv -f UTF-16 -t UTF-8 "$scratch/before.reg" | grep -q Chronicle || fail "the maker's key was not seeded"
report=$kit/DustmarrowSetupTests-report.txt
run_kit() { wine 'C:\kit\DustmarrowSetupTests.exe' "$@" </dev/null >>"$log" 2>&1; }
summary() { tail -n 1 "$report" | tr -d '\r'; }

status=0
run_kit || status=$?
[ $status = 0 ] && [[ $(summary) =~ ^[1-9][0-9]*\ passed,\ 0\ failed$ ]] ||
    fail "the kit: exit $status, $(summary); $(grep -E '^(FAILED|HUNG)' "$report" | head -n 3)"
as_before after || fail "the kit left the maker's key other than it was"
echo "the kit, at ${SECONDS} s: $(summary); the maker's key as before"

status=0
run_kit 'C:\unsaving\DustmarrowSetup.exe' --gtest_filter='*ProgramTest.*' || status=$?
named=$(grep -c '^FAILED   Windows/ProgramTest.APlayerSeesTheStoredSettingsAndEndsTheDialogWithKeys/program ' "$report" || true)
[ $status = 1 ] && [ "$named" = 1 ] && [[ $(summary) =~ failed$ ]] && ! [[ $(summary) =~ \ 0\ failed ]] ||
    fail "with a program that does not save: exit $status, $(summary)"
as_before after || fail "with a program that does not save, the maker's key was left changed"
echo "at ${SECONDS} s, with a program that does not save on OK: exit 1, $(summary), the player's test named"

# A second run while one is going refuses. Killed once an end-to-end test has changed
# the key, the next run needs only one test to show that it puts the key back first,
# and again at its end.
rm -f "$report"
run_kit --gtest_filter='Windows/*' &
runner=$!
deadline=$((SECONDS + 120))
until grep -qE '^(ok|FAILED) +Windows/' "$report" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] && kill -0 $runner 2>/dev/null || fail "the kit ran no end-to-end test within 120 s"
    sleep 0.1
done
status=0
second=$(wine 'C:\kit\DustmarrowSetupTests.exe' </dev/null 2>>"$log") || status=$?
[ $status = 2 ] && [[ $second == "Another run of the kit is going"* ]] || fail "a second run at once: exit $status, $second"
quiet wine taskkill /f /im DustmarrowSetupTests.exe || true
wait $runner || true
[ -f "$kit/DustmarrowSetupTests-saved-registry.txt" ] || fail "a killed run left no saved copy"
! as_before killed || fail "the key was as before when the run was killed: the kill proves nothing"
status=0
run_kit --gtest_filter='*.TabGoesThroughTheBoxesThenOkCancelAndRemove/*' || status=$?
grep -q '^A run that did not finish left a saved copy' "$report" || fail "the next run did not say it put back the saved copy"
[ $status = 0 ] && as_before after || fail "after a killed run and another: exit $status, $(summary)"
echo "at ${SECONDS} s, killed halfway, then run again: put back first, $(summary), the maker's key as before"
rm -rf "$scratch"
