#!/usr/bin/env bash
# dev's install step, and its Debian 13 root, against an archive that is out of step,
# has no wine32, or cannot be reached, and against a root that a killed run left half
# made: a copy of dev runs with stand-ins for apt-get, dpkg, id, debootstrap, unshare,
# bwrap and wineserver on PATH, which keep the package state of the host and of the
# root in a scratch folder. Nothing touches the machine's own.
#   check_install.sh SOURCE_DIR SCRATCH
set -euo pipefail
source_dir=$1 scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch/bin" "$scratch/dev/tools"
cp "$source_dir/dev" "$scratch/dev/"
cp "$source_dir"/tools/*.sh "$scratch/dev/tools/"
state=$scratch/state cache=$scratch/cache
root=$cache/dustmarrow-setup/debian-13-wine-1

cat >"$scratch/bin/id" <<'EOF'
#!/bin/sh
echo 0
EOF
# dpkg: installed packages one a line, foreign architectures one a line.
cat >"$scratch/bin/dpkg" <<'EOF'
#!/bin/bash
case $1 in
-s) grep -qx "$2" "$STATE/installed" ;;
--print-foreign-architectures) cat "$STATE/foreign" ;;
--add-architecture) echo "$2" >>"$STATE/foreign" ;;
--remove-architecture) sed -i "/^$2\$/d" "$STATE/foreign" ;;
*) exit 3 ;;
esac
EOF
# apt-get: $UPDATE is ok, i386-list (the security suite's i386 list out of step, for
# as long as i386 is enabled) or offline; $INSTALL is ok, no-wine32 (its i386
# dependencies cannot be met) or none. An install that gets to dpkg and then fails
# leaves a half-configured package, as a real one would. In the root ($INSIDE), an
# installed wine is there.
cat >"$scratch/bin/apt-get" <<'EOF'
#!/bin/bash
echo "apt-get $*" >>"$STATE/calls"
args=" $* "
[[ $args == *" clean "* ]] && exit 0
if [[ $args == *" update "* ]]; then
    case $UPDATE in
    i386-list) grep -qx i386 "$STATE/foreign" || exit 0
        echo "Err:6 http://deb.debian.org/debian-security bookworm-security/main i386 Packages"
        echo "  File has unexpected size (374820 != 376004). Mirror sync in progress?"
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
        exit 100 ;;
    offline) echo "Err:1 http://deb.debian.org/debian bookworm InRelease"
        echo "  Temporary failure resolving 'deb.debian.org'"
        echo "W: Some index files failed to download. They have been ignored, or old ones used instead." ;;
    esac
    exit 0
fi
packages=$(printf '%s\n' "$@" | grep -v -e '^-' -e '::' -e '^install$')
fail=
case $INSTALL in
none) fail="E: Unable to locate package $(head -n 1 <<<"$packages")" ;;
no-wine32) grep -qx wine32 <<<"$packages" &&
    fail="E: Unable to correct problems, you have held broken packages." ;;
esac
if [ -n "$fail" ]; then
    echo "$fail"
    [[ $args == *" --download-only "* ]] || echo "$(head -n 1 <<<"$packages"): half-configured" >>"$STATE/half-configured"
    exit 100
fi
[[ $args == *" --download-only "* ]] && exit 0
printf '%s\n' $packages >>"$STATE/installed"
[ -z "${INSIDE:-}" ] || ! grep -qx wine <<<"$packages" || mkdir -p "$INSIDE/usr/bin"
exit 0
EOF
# debootstrap makes a root with a package state of its own, or, with $ROOT_MAKE=fail,
# cannot reach the archive. unshare runs the command it is given.
cat >"$scratch/bin/debootstrap" <<'EOF'
#!/bin/bash
echo "debootstrap $*" >>"$STATE/calls"
[ "$ROOT_MAKE" = fail ] && { echo "E: Failed getting release file"; exit 1; }
mkdir -p "$3/etc/apt" "$3/.state"
: >"$3/.state/installed"
: >"$3/.state/foreign"
EOF
cat >"$scratch/bin/unshare" <<'EOF'
#!/bin/bash
while [[ $1 == -* ]]; do [ "$1" = --propagation ] && shift; shift; done
exec "$@"
EOF
# bwrap runs its command as if in the root it binds to /, with the root's package
# state and archive; wineserver says which Wine it is.
cat >"$scratch/bin/bwrap" <<'EOF'
#!/bin/bash
inside=
while [[ $1 == --* ]]; do
    case $1 in
    --bind | --ro-bind | --dev-bind | --setenv | --symlink) [ "$3" = / ] && inside=$2; shift 3 ;;
    --clearenv) shift ;;
    *) shift 2 ;;
    esac
done
# Wine's entries bind the root's own folders: one without them cannot start Wine.
if [ -z "$inside" ]; then
    inside=$DUSTMARROW_WINE_ROOT
    [ -d "$inside/usr" ] || { echo "bwrap: execvp $1: No such file or directory" >&2; exit 1; }
fi
STATE=$inside/.state INSIDE=$inside UPDATE=$ROOT_UPDATE INSTALL=$ROOT_INSTALL exec "$@"
EOF
cat >"$scratch/bin/wineserver" <<'EOF'
#!/bin/bash
[ -n "${INSIDE:-}" ] && echo "Wine 10.0 (Debian 10.0~repack-6)" >&2 || echo "Wine 8.0 (Debian 8.0~repack-4)" >&2
EOF
chmod +x "$scratch/bin"/*

build_packages=$(sed -n '/^BUILD_PACKAGES=(/,/)/p' "$source_dir/dev" | sed 's/^BUILD_PACKAGES=//' | tr -d '()')
wine_packages="wine wine64 fonts-wine xvfb bubblewrap debootstrap"
making="dev: making a Debian 13 root with Wine 10"
two_lanes="dev: the i686 tree (the shipped program) under Wine 10.0 in the Debian 13 root; the x64 tree under this machine's Wine 8.0"
one_lane="running the x64 tree under this machine's Wine 8.0 alone"
root_list="dev: could not refresh the package list bookworm-security/main i386 Packages in the Debian 13 root"

# name | host: installed before, foreign before, UPDATE, INSTALL | root: before (-, made, half or broken), ROOT_MAKE,
# ROOT_UPDATE, ROOT_INSTALL | exit | root after | lines dev prints, in order
cases=(
    "sound archive: the root made|-|-|i386-list|ok|-|ok|ok|ok|0|made|dev: installing: cmake|$making|$two_lanes"
    "everything there: no apt, no new root|build wine|-|ok|ok|made|ok|ok|ok|0|made|$two_lanes"
    "a root that a killed run left half made is made again|build wine|-|ok|ok|half|ok|ok|ok|0|made|dev: removing a Debian 13 root that an earlier run left half made|$making|$two_lanes"
    "i386 enabled by the person stays|build wine|i386|i386-list|ok|made|ok|ok|ok|0|made|$two_lanes"
    "the root's i386 list out of step: one lane|build wine|-|ok|ok|-|ok|i386-list|no-wine32|0|-|$making|$root_list|dev: the Debian 13 root with Wine 10 could not be had (its Wine could not be installed: E: Unable to correct problems|$one_lane"
    "no archive for the root: one lane|build wine|-|ok|ok|-|fail|ok|ok|0|-|$making|dev: the Debian 13 root with Wine 10 could not be had (debootstrap could not make it from |$one_lane"
    "a root that is there but whose Wine does not start: one lane|build wine|-|ok|ok|broken|ok|ok|ok|0|made|dev: the Debian 13 root with Wine 10 could not be had (its Wine does not start|$one_lane"
    "no archive reachable|-|-|offline|none|-|ok|ok|ok|1|-|dev: could not refresh the package list bookworm InRelease|dev: could not install cmake ninja-build"
)
failures=0
for case in "${cases[@]}"; do
    IFS='|' read -r name before foreign update install root_before root_make root_update root_install want_status want_root \
        lines <<<"$case"
    rm -rf "$state" "$cache" "$scratch/dev/build"
    mkdir -p "$state"
    : >"$state/installed"
    for package in $before; do
        case $package in
        build) printf '%s\n' $build_packages >>"$state/installed" ;;
        wine) printf '%s\n' $wine_packages >>"$state/installed" ;;
        *) echo "$package" >>"$state/installed" ;;
        esac
    done
    [ "$foreign" = - ] && : >"$state/foreign" || echo "$foreign" >"$state/foreign"
    case $root_before in
    made) mkdir -p "$root/.state" "$root/usr/bin" && echo wine32 >"$root/.state/installed" ;;
    broken) mkdir -p "$root/.state" && echo wine32 >"$root/.state/installed" ;;
    # Everything but the rename: it must not be used all the same.
    half) mkdir -p "$root.partial/.state" "$root.partial/usr/bin" ;;
    esac
    status=0
    output=$(env -u DEV_COMMAND -u DUSTMARROW_WINE_ROOT PATH="$scratch/bin:$PATH" STATE="$state" UPDATE="$update" \
        INSTALL="$install" ROOT_MAKE="$root_make" ROOT_UPDATE="$root_update" ROOT_INSTALL="$root_install" \
        XDG_CACHE_HOME="$cache" DEV_HOST_RUNS_I686=yes "$scratch/dev/dev" _packages 2>&1 3>&-) || status=$?
    got_foreign=$(paste -s -d ' ' "$state/foreign")
    got_root=-
    [ -d "$root" ] && got_root=made
    [ -e "$root.partial" ] && got_root="$got_root, and a half-made one"
    problems=()
    [ "$status" = "$want_status" ] || problems+=("exit $status, wanted $want_status")
    [ "${got_foreign:--}" = "$foreign" ] || problems+=("foreign architectures '${got_foreign:--}', wanted '$foreign'")
    ! grep -qx wine32 "$state/installed" || problems+=("wine32 was installed on the host")
    [ "$got_root" = "$want_root" ] || problems+=("the root: '$got_root', wanted '$want_root'")
    [ "$got_root" != made ] || grep -qx wine32 "$root/.state/installed" || problems+=("the root has no wine32")
    [ ! -s "$state/half-configured" ] || problems+=("dpkg --audit: $(cat "$state/half-configured")")
    # A root that is there already costs nothing: no apt and no debootstrap, on the host or in the root.
    calls=$(cat "$state/calls" "$root/.state/calls" 2>/dev/null | head -n 1 || true)
    [ "$root_before" != made ] || [ -z "$calls" ] || problems+=("it ran $calls")
    # Each expected line, in order, and no other dev: line that warns or fails.
    rest=$output
    IFS='|' read -r -a wanted <<<"$lines"
    for line in "${wanted[@]}"; do
        if [[ $rest == *"$line"* ]]; then rest=${rest#*"$line"}; else problems+=("no line '$line'"); fi
    done
    while read -r printed; do
        for line in "${wanted[@]}"; do [[ $printed == "$line"* ]] && continue 2; done
        problems+=("unexpected: $printed")
    done < <(grep -E '^dev: (could not|remov|making|the Debian|enabling|wine32)' <<<"$output" || true)
    if [ ${#problems[@]} -eq 0 ]; then
        echo "ok: $name"
    else
        failures=$((failures + 1))
        printf 'FAILED: %s\n' "$name"
        printf '    %s\n' "${problems[@]}"
        printf '    dev printed:\n%s\n' "$(sed 's/^/        /' <<<"$output")"
    fi
done
[ $failures = 0 ] && rm -rf "$scratch"
exit $((failures > 0))
