#!/usr/bin/env bash
# The test kit as a stranger runs it: unpacked from its zip in a Wine prefix of its own
# that only wineboot made (and Wine told to draw window frames itself, as a virtual
# display has no window manager), over a maker's key full of other people's things and
# Wine settings of the player's own for the program. It must pass and leave those keys
# exactly as they were, and nothing else in HKEY_CURRENT_USER\Software; fail, and name
# the test, with a program that does not save on OK; refuse a second run at once; and,
# stopped halfway, at a test's link to itself, or during an in-process test, put the
# keys back on its next run, from its own folder or another.
# It runs under the Wine that ./dev chose for the suite, in a prefix beside the suite's.
#   check_kit.sh SOURCE_DIR ARCH PROGRAM KIT.exe UNSAVING.exe STOPPER.exe SCRATCH
set -euo pipefail
source_dir=$1 arch=$2 program=$3 tests=$4 unsaving=$5 stopper=$6 scratch=$7
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
# A check that did not pass, or was stopped, may have left the prefix's registry in any
# state, a link that the seeding cannot pass among them: only a prefix that a passing
# check left is used again.
if [ ! -f "$prefix/.passed" ]; then
    rm -rf "$prefix"
    quiet wine wineboot -i
    quiet wineserver -w
    quiet wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
    quiet wineserver -w
fi
rm -f "$prefix/.passed"
quiet wineserver -k || true
quiet wineserver -w || true
quiet wineserver -p
# However this ends, the prefix's server and services end with it.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

kit=$prefix/drive_c/kit other=$prefix/drive_c/other-kit
rm -rf "$kit" "$other" "$prefix/drive_c/unsaving"
"$source_dir/tools/make_dist.sh" "$program" "$source_dir/docs/kit.txt" "$scratch/kit.zip" "$tests"
unzip -q "$scratch/kit.zip" -d "$kit"
unzip -q "$scratch/kit.zip" -d "$other"
mkdir -p "$prefix/drive_c/unsaving"
cp "$unsaving" "$prefix/drive_c/unsaving/DustmarrowSetup.exe"
cp "$stopper" "$prefix/drive_c/stop_kit_when.exe"

# Another product's key, values of several types on the maker's key, a player's
# settings, and a subkey with a value under the settings key; and the player's own
# Windows version and DLL choice for the program in Wine.
maker='HKCU\SOFTWARE\Quorvanta' defaults='HKCU\Software\Wine\AppDefaults\DustmarrowSetup.exe'
quiet wine reg delete "$maker" /f || true
quiet wine reg delete "$defaults" /f || true
for value in "$maker\\Chronicle|Path|REG_SZ|C:\\Games\\Chronicle" "$maker|Installed|REG_DWORD|1" "$maker|Publisher|REG_SZ|Quorvanta" \
    "$maker|Token|REG_BINARY|00ff10a5" "$maker|Mirrors|REG_MULTI_SZ|one\\0two" "$maker|Cache|REG_EXPAND_SZ|%TEMP%\\quorvanta" \
    "$maker\\Dustmarrow|WindowFullScreen|REG_DWORD|7" "$maker\\Dustmarrow|FixAspectRatio|REG_SZ|yes" \
    "$maker\\Dustmarrow\\Mods|Enabled|REG_DWORD|0" "$defaults|Version|REG_SZ|winxp" "$defaults\\DllOverrides|comctl32|REG_SZ|builtin"; do
    IFS='|' read -r key name type data <<<"$value"
    quiet wine reg add "$key" /v "$name" /t "$type" /d "$data" /f
done
# The maker's key and the program's Wine settings as Wine's reg exports them, and the
# names of the keys in HKEY_CURRENT_USER\Software, into $scratch/NAME.*; none for a key
# that is gone.
export_keys() {
    local key
    for key in maker defaults; do
        rm -f "$prefix/drive_c/$1.$key.reg" "$scratch/$1.$key.reg"
        quiet wine reg export "${!key}" "C:\\$1.$key.reg" /y || true
        mv "$prefix/drive_c/$1.$key.reg" "$scratch/$1.$key.reg" 2>/dev/null || true
    done
    wine reg query 'HKCU\Software' 2>>"$log" | tr -d '\r' >"$scratch/$1.software"
}
as_before() {
    export_keys "$1"
    local part
    for part in maker.reg defaults.reg software; do
        cmp -s "$scratch/before.$part" "$scratch/$1.$part" || return 1
    done
}
export_keys before
iconv -f UTF-16 -t UTF-8 "$scratch/before.maker.reg" | grep -q Chronicle || fail "the maker's key was not seeded"
iconv -f UTF-16 -t UTF-8 "$scratch/before.defaults.reg" | grep -q comctl32 || fail "the program's Wine settings were not seeded"
report=$kit/DustmarrowSetupTests-report.txt
run_kit() { wine 'C:\kit\DustmarrowSetupTests.exe' "$@" </dev/null >>"$log" 2>&1; }
summary() { tail -n 1 "$report" | tr -d '\r'; }

status=0
run_kit || status=$?
[ $status = 0 ] && [[ $(summary) =~ ^[1-9][0-9]*\ passed,\ 0\ failed$ ]] ||
    fail "the kit: exit $status, $(summary); $(grep -E '^(FAILED|HUNG)' "$report" | head -n 3)"
as_before after || fail "the kit left the keys other than they were"
echo "the kit, at ${SECONDS} s: $(summary); the keys as before"

status=0
run_kit 'C:\unsaving\DustmarrowSetup.exe' --gtest_filter='*ProgramTest.*' || status=$?
named=$(grep -c '^FAILED   Windows/ProgramTest.APlayerSeesTheStoredSettingsAndEndsTheDialogWithKeys/program ' "$report" || true)
[ $status = 1 ] && [ "$named" = 1 ] && [[ $(summary) =~ failed$ ]] && ! [[ $(summary) =~ \ 0\ failed ]] ||
    fail "with a program that does not save: exit $status, $(summary)"
as_before after || fail "with a program that does not save, the maker's key was left changed"
echo "at ${SECONDS} s, with a program that does not save on OK: exit 1, $(summary), the player's test named"

# A second run while one is going refuses. Killed once an end-to-end test has changed
# the key, the next run, from another folder, needs only one test to show that it puts
# the key back first, and again at its end.
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
! as_before killed || fail "the key was as before when the run was killed: the kill proves nothing"
# Run again from another folder, as after unzipping the kit anew.
status=0
wine 'C:\other-kit\DustmarrowSetupTests.exe' --gtest_filter='*.TabGoesThroughTheBoxesThenOkCancelAndRemove/*' </dev/null >>"$log" 2>&1 ||
    status=$?
grep -q '^A run that did not finish' "$other/DustmarrowSetupTests-report.txt" || fail "the kit in another folder did not say it put back the keys first"
[ $status = 0 ] && as_before after || fail "after a killed run and another from another folder: exit $status"
echo "at ${SECONDS} s, killed halfway, then run from another folder: put back first, the keys as before"

# Stopped at a state: the moment a test has made the settings key a link to itself (a
# key that nothing but the kit's own way deletes), or an in-process test its sandbox.
# The next run puts everything back and removes that sandbox.
stop_at() {
    local said
    rm -f "$report"
    said=$(wine 'C:\stop_kit_when.exe' "$1" 120000 'C:\kit\DustmarrowSetupTests.exe' "--gtest_filter=$2" </dev/null 2>>"$log") ||
        fail "stopping the kit at $1: $said"
    ! as_before "stopped-$1" || fail "the keys were as before when the kit was stopped at $1: the stop proves nothing"
    status=0
    run_kit --gtest_filter='*.OpensCentredWithACloseBoxAndNoMinimiseOrMaximiseBox/*' || status=$?
    grep -q '^A run that did not finish' "$report" || fail "after the kit was stopped at $1, the next run did not say it put back the keys first"
    [ $status = 0 ] && as_before after || fail "after the kit was stopped at $1 and run again: exit $status, $(summary)"
    echo "at ${SECONDS} s, ${said%%,*}, then run again: put back first, the keys as before"
}
stop_at self-link '*HostileRegistryTest.*'
stop_at sandbox 'StoreTest.*'
touch "$prefix/.passed"
rm -rf "$scratch"
