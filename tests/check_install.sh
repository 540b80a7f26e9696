#!/usr/bin/env bash
# dev's install step, and its Debian 13 root, against an archive that is out of step,
# has no wine32, or cannot be reached, and against a root that a killed run left half
# made: a copy of dev runs with stand-ins for apt-get, dpkg, id, mmdebstrap, unshare,
# bwrap and wineserver on PATH, which keep the package state of this machine and of the
# root in a folder of each case's own. Nothing touches the machine's own.
#   check_install.sh SOURCE_DIR SCRATCH
set -euo pipefail
source_dir=$1 scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch/bin" "$scratch/dev/build"
(cd "$source_dir" && cp --parents dev CMakePresets.json tools/*.sh cmake/lanes.cmake "$scratch/dev/")
# The package lists, from the script that installs them.
source "$source_dir/tools/packages.sh"

# Stand-ins, each keeping its state in $STATE: id says root; dpkg knows the installed
# packages and the foreign architectures, one a line.
printf '#!/bin/sh\necho 0\n' >"$scratch/bin/id"
cat >"$scratch/bin/dpkg" <<'STANDIN'
#!/bin/bash
case $1 in
-s) grep -qx "$2" "$STATE/installed" ;;
--print-foreign-architectures) cat "$STATE/foreign" ;;
*) exit 3 ;;
esac
STANDIN
# apt-get: $UPDATE is ok, i386-list (the security suite's i386 list out of step, for
# as long as i386 is enabled) or offline; $INSTALL is ok or none. An install that gets
# to dpkg and then fails leaves a half-configured package, as a real one would. Its
# lists name Debian's archive when it can be reached.
cat >"$scratch/bin/apt-get" <<'STANDIN'
#!/bin/bash
echo "apt-get $*" >>"$STATE/calls"
case "$UPDATE $*" in
offline*indextargets*) exit 0 ;;
*indextargets*) echo http://mirror.invalid/debian/ && exit 0 ;;
i386-list*update*) grep -qx i386 "$STATE/foreign" || exit 0
    printf '%s\n' "Err:6 http://mirror.invalid/debian-security bookworm-security/main i386 Packages" \
        "  File has unexpected size (374820 != 376004). Mirror sync in progress?" "E: Some index files failed to download."
    exit 100 ;;
offline*update*) printf '%s\n' "Err:1 http://mirror.invalid/debian bookworm InRelease" "W: Some index files failed to download."
    exit 0 ;;
*update*) exit 0 ;;
esac
packages=$(printf '%s\n' "$@" | grep -v -e '^-' -e '::' -e '^install$')
if [ "$INSTALL" = none ]; then
    echo "E: Unable to locate package $(head -n 1 <<<"$packages")"
    [[ " $* " == *" --download-only "* ]] || echo "$(head -n 1 <<<"$packages"): half-configured" >>"$STATE/half-configured"
    exit 100
fi
[[ " $* " == *" --download-only "* ]] || printf '%s\n' $packages >>"$STATE/installed"
STANDIN
# mmdebstrap makes a root with Wine as $ROOT_MAKE has it: ok, i386-list (its i386 list
# out of step) or offline; a failure leaves a root half made, as a real one would.
cat >"$scratch/bin/mmdebstrap" <<'STANDIN'
#!/bin/bash
echo "mmdebstrap $*" >>"$STATE/calls"
target=${*: -2:1}
mkdir -p "$target/etc"
[ "$ROOT_MAKE" != i386-list ] || printf '%s\n' "Err:3 http://mirror.invalid/debian trixie/main i386 Packages" \
    "  File has unexpected size (40032 != 40410). Mirror sync in progress?"
[ "$ROOT_MAKE" = ok ] || { echo "E: apt-get update --error-on=any -oAPT::Status-Fd=<\$fd> failed" && exit 25; }
mkdir -p "$target/usr/bin"
STANDIN
# unshare runs the command it is given; bwrap runs it as if in the root whose folders
# it binds, where with no /usr Wine cannot start; wineserver says which Wine it is.
printf '#!/bin/bash\nwhile [[ $1 == -* ]]; do [ "$1" = --propagation ] && shift; shift; done\nexec "$@"\n' >"$scratch/bin/unshare"
cat >"$scratch/bin/bwrap" <<'STANDIN'
#!/bin/bash
while [[ $1 == --* ]]; do
    [ "$1" != --ro-bind ] || [ "$3" != /usr ] || export INSIDE=$2
    case $1 in
    --ro-bind | --bind | --dev-bind | --setenv | --symlink) shift 3 ;;
    --clearenv) shift ;;
    *) shift 2 ;;
    esac
done
[ -n "${INSIDE:-}" ] || { echo "bwrap: execvp $1: No such file or directory" >&2; exit 1; }
exec "$@"
STANDIN
printf '#!/bin/bash\n[ -n "${INSIDE:-}" ] && echo "Wine 10.0" >&2 || echo "Wine 8.0" >&2\n' >"$scratch/bin/wineserver"
# This machine runs 32-bit programs: the probe that dev would build says so.
printf '#!/bin/sh\n' >"$scratch/dev/build/host_runs_i686"
chmod +x "$scratch/bin"/* "$scratch/dev/build/host_runs_i686"

making="dev: making a Debian 13 root with Wine 10"
lanes="dev: the lanes at once; wine10-i686: the i686 tree, with the shipped program, under Debian 13's Wine 10 in the root"
lanes+="; wine8-x64: the x64 tree under this machine's Wine 8, and the scripts that need no Wine"
every_lane="$lanes; wine10-x64: the x64 tree under Debian 13's Wine 10 in the root"
one_lane="dev: the lanes at once; wine8-x64: the x64 tree under this machine's Wine 8, and the scripts that need no Wine"
no_root="dev: wine10-i686 cannot run on this machine: the Debian 13 root with Wine 10 is not there"
no_root+="|dev: wine10-x64 cannot run on this machine: the Debian 13 root with Wine 10 is not there"
no_wine="dev: wine10-i686 cannot run on this machine: its Wine does not start"
no_wine+="|dev: wine10-x64 cannot run on this machine: its Wine does not start"
could_not="dev: the Debian 13 root with Wine 10 could not be had (mmdebstrap could not make it from http://mirror.invalid/debian/"

# name | this machine: installed before, foreign architectures, UPDATE, INSTALL | root before (-, made, half or
# broken), ROOT_MAKE | exit | root after | the lines dev prints, in order
cases=(
    "sound archive: the root made|-|-|i386-list|ok|-|ok|0|made|dev: installing: cmake|$making|$every_lane"
    "everything there: no apt, no new root|build wine|-|ok|ok|made|ok|0|made|$every_lane"
    "a root that a killed run left half made is made again|build wine|-|ok|ok|half|ok|0|made|dev: removing a Debian 13 root that an earlier run left half made|$making|$every_lane"
    "i386 enabled by the person stays|build wine|i386|i386-list|ok|made|ok|0|made|$every_lane"
    "the root's i386 list out of step: one lane|build wine|-|ok|ok|-|i386-list|0|-|$making|dev: could not refresh the package list trixie/main i386 Packages in the Debian 13 root|$could_not|$no_root|$one_lane"
    "no archive for the root: one lane|build wine|-|ok|ok|-|offline|0|-|$making|$could_not|$no_root|$one_lane"
    "a root that is there but whose Wine does not start: one lane|build wine|-|ok|ok|broken|ok|0|made|$no_wine|$one_lane"
    "no archive reachable|-|-|offline|none|-|ok|1|-|dev: could not refresh the package list bookworm InRelease|dev: could not install cmake ninja-build"
)
failures=0 number=0
for case in "${cases[@]}"; do
    IFS='|' read -r name before foreign update install root_before root_make want_status want_root lines <<<"$case"
    number=$((number + 1))
    run=$scratch/case-$number state=$scratch/case-$number/state
    root=$run/cache/dustmarrow-setup/debian-13-wine-1
    mkdir -p "$state" && cp -r "$scratch/dev" "$run/dev" && : >"$state/installed"
    [[ $before != *build* ]] || printf '%s\n' "${BUILD_PACKAGES[@]}" >>"$state/installed"
    [[ $before != *wine* ]] || printf '%s\n' "${WINE_PACKAGES[@]}" >>"$state/installed"
    [ "$foreign" = - ] && : >"$state/foreign" || echo "$foreign" >"$state/foreign"
    case $root_before in
    made) mkdir -p "$root/usr/bin" ;;
    broken) mkdir -p "$root" ;;
    # All but the rename: it must not be used all the same.
    half) mkdir -p "$root.partial/usr/bin" ;;
    esac
    # A case ends only once everything it started has: each of its processes holds the
    # lock that it inherits, and the case waits for the lock.
    exec {running}>"$run/running" && flock "$running" && status=0
    output=$(env -i PATH="$scratch/bin:$PATH" HOME="$run" XDG_CACHE_HOME="$run/cache" STATE="$state" UPDATE="$update" \
        INSTALL="$install" ROOT_MAKE="$root_make" "$run/dev/dev" _packages 2>&1) || status=$?
    exec {running}>&-
    problems=() got_root=- got_foreign=$(paste -s -d ' ' "$state/foreign")
    flock -w 120 "$run/running" true || problems+=("a process that it started still runs")
    [ -d "$root" ] && got_root=made
    [ -e "$root.partial" ] && got_root="$got_root, and a half-made one"
    [ "$status" = "$want_status" ] || problems+=("exit $status, wanted $want_status")
    [ "${got_foreign:--}" = "$foreign" ] || problems+=("foreign architectures '${got_foreign:--}', wanted '$foreign'")
    ! grep -qx wine32 "$state/installed" || problems+=("wine32 was installed on the host")
    [ "$got_root" = "$want_root" ] || problems+=("the root: '$got_root', wanted '$want_root'")
    [ ! -s "$state/half-configured" ] || problems+=("dpkg --audit: $(cat "$state/half-configured")")
    # A root that is there already costs nothing: no apt and no mmdebstrap.
    [ "$root_before" != made ] || [ ! -s "$state/calls" ] || problems+=("it ran $(head -n 1 "$state/calls")")
    # Each expected line, in order, and no other dev: line that warns or fails.
    rest=$output
    IFS='|' read -r -a wanted <<<"$lines"
    for line in "${wanted[@]}"; do
        if [[ $rest == *"$line"* ]]; then rest=${rest#*"$line"}; else problems+=("no line '$line'"); fi
    done
    while read -r printed; do
        for line in "${wanted[@]}"; do [[ $printed == "$line"* ]] && continue 2; done
        problems+=("unexpected: $printed")
    done < <(grep -E '^dev: (could not|remov|making|the |wine|waiting|no )' <<<"$output" || true)
    [ ${#problems[@]} -eq 0 ] && echo "ok: $name" && continue
    failures=$((failures + 1))
    printf 'FAILED: %s\n' "$name" && printf '    %s\n' "${problems[@]}"
    printf '    dev printed:\n%s\n' "$(sed 's/^/        /' <<<"$output")"
done
[ $failures = 0 ] && rm -rf "$scratch"
exit $((failures > 0))
