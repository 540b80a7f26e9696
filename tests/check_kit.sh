#!/usr/bin/env bash
# The test kit as a stranger runs it, in the lane's prefix "stranger", which only
# wineboot made (with Wine drawing window frames, as a virtual display has no window
# manager): over a maker's key full of other people's things and the player's own Wine
# settings for the program, it must pass and leave those keys, and the names in
# HKEY_CURRENT_USER\Software, as they were; fail, naming the test, with a program that
# does not save on OK; and, stopped at a state, put the keys back on its next run.
#   check_kit.sh ARCH PROGRAM KIT.exe UNSAVING.exe STOPPER.exe
set -euo pipefail
arch=$1 program=$2 tests=$3 unsaving=$4 stopper=$5
checkout=$(cd "$(dirname "$0")/.." && pwd)
export DUSTMARROW_PREFIX=stranger
lane() { "$checkout/tools/lane.sh" "$@"; }
wine() { lane "$arch" "$@"; }
prefix=$checkout/build/lanes/$DUSTMARROW_LANE/stranger scratch=$checkout/build/lanes/$DUSTMARROW_LANE/kit-check
rm -rf "$scratch" && mkdir -p "$scratch"
log=$scratch/wine.log
# Wine's own output, and its services', go to the log, never to ctest's pipe.
quiet() { "$@" >>"$log" 2>&1 </dev/null; }
fail() { echo "FAILED: $*" && exit 1; }
# A check that did not pass, or was stopped, may have left the prefix's registry in any
# state, a link that the seeding cannot pass among them: only a prefix that a passing
# check left is used again.
[ -f "$prefix/.passed" ] || rm -rf "$prefix"
rm -f "$prefix/.passed"
quiet lane prefix plain
quiet lane stop-server
quiet lane server -p
# However this ends, the prefix's server and services end with it.
trap 'lane server -k >/dev/null 2>&1 || true' EXIT

kit=$prefix/drive_c/kit other=$prefix/drive_c/other-kit
rm -rf "$kit" "$other" "$prefix/drive_c/unsaving"
"$checkout/tools/make_dist.sh" "$program" "$checkout/docs/kit.txt" "$scratch/kit.zip" "$tests"
unzip -q "$scratch/kit.zip" -d "$kit" && unzip -q "$scratch/kit.zip" -d "$other"
mkdir -p "$prefix/drive_c/unsaving" && cp "$unsaving" "$prefix/drive_c/unsaving/DustmarrowSetup.exe"
cp "$stopper" "$prefix/drive_c/stop_kit_when.exe"

# Another product's key, values of several types on the maker's key, a player's
# settings, and a subkey with a value under the settings key; and the player's own
# Windows version and DLL choice for the program in Wine.
maker='HKCU\SOFTWARE\Quorvanta' defaults='HKCU\Software\Wine\AppDefaults\DustmarrowSetup.exe'
for key in "$maker" "$defaults"; do quiet wine reg delete "$key" /f || true; done
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
    for part in maker.reg defaults.reg software; do cmp -s "$scratch/before.$part" "$scratch/$1.$part" || return 1; done
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

# Stops the kit (tests/stop_kit_when.cpp, with its further arguments) at the state $1
# of a run of the tests $2, and sees the keys not as before; then a run from the folder
# $3 needs only one test to show that it puts the keys back first, and again at its end.
stop_at() {
    local state=$1 filter=$2 folder=$3
    shift 3
    STOPPED=$(wine 'C:\stop_kit_when.exe' "$state" 120000 "$@" 'C:\kit\DustmarrowSetupTests.exe' "--gtest_filter=$filter" \
        </dev/null 2>>"$log") || fail "stopping the kit at $state: $STOPPED"
    [ "$state" != sandbox ] || wine reg query 'HKCU\Software\DustmarrowSetupTests' 2>>"$log" | grep -q 'Sandbox[0-9]' ||
        fail "the kit was stopped at its test's sandbox, which was gone after it ended: $STOPPED"
    ! as_before "stopped-$state" || fail "the keys were as before when the kit was stopped at $state: the stop proves nothing"
    local status=0
    wine "C:\\$folder\\DustmarrowSetupTests.exe" --gtest_filter='*.OpensCentredWithACloseBoxAndNoMinimiseOrMaximiseBox/*' \
        </dev/null >>"$log" 2>&1 || status=$?
    grep -q '^A run that did not finish' "$prefix/drive_c/$folder/DustmarrowSetupTests-report.txt" ||
        fail "after the kit was stopped at $state, the next run did not say it put back the keys first"
    [ $status = 0 ] && as_before after || fail "after the kit was stopped at $state and run again: exit $status"
    echo "at ${SECONDS} s, $STOPPED; then run again from C:\\$folder: put back first, the keys as before"
}
# Halfway through the end-to-end tests, while a second run, started then, refuses.
stop_at changed 'Windows/*' other-kit --while-frozen 'C:\kit\DustmarrowSetupTests.exe'
[[ $STOPPED == *"exited 2: Another run of the kit is going"* ]] || fail "a second run while the first was going: $STOPPED"
# At a test's link to itself (a key that nothing but the kit's own way deletes), and at
# an in-process test's sandbox, which the next run removes.
stop_at self-link '*HostileRegistryTest.*' kit
stop_at sandbox 'StoreTest.*' kit
status=0
said=$(wine 'C:\stop_kit_when.exe' self-link 120000 'C:\kit\DustmarrowSetupTests.exe' '--gtest_filter=StoreTest.*' \
    </dev/null 2>>"$log") || status=$?
[ $status = 1 ] && [[ $said == "the kit ended before the state self-link"* ]] && as_before after ||
    fail "a kit that ends before the state it was to be stopped at: exit $status, $said"
echo "at ${SECONDS} s, a kit that ends before its state: $said"
touch "$prefix/.passed"
rm -rf "$scratch"
