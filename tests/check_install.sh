#!/usr/bin/env bash
# dev's install step against an archive that is out of step, has no wine32, or cannot
# be reached: a copy of dev runs with stand-ins for apt-get, dpkg and id on PATH, which
# keep the package state in a scratch folder. Nothing touches the machine's own.
#   check_install.sh SOURCE_DIR SCRATCH
set -euo pipefail
source_dir=$1 scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch/bin" "$scratch/dev/tools"
cp "$source_dir/dev" "$scratch/dev/"
cp "$source_dir"/tools/*.sh "$scratch/dev/tools/"
state=$scratch/state

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
--remove-architecture)
    grep -q ":$2\$" "$STATE/installed" && { echo "dpkg: error: cannot remove architecture '$2' currently in use by the database"; exit 2; }
    sed -i "/^$2\$/d" "$STATE/foreign" ;;
--audit) cat "$STATE/half-configured" 2>/dev/null || true ;;
*) exit 3 ;;
esac
EOF
# apt-get: $UPDATE is ok, i386-list (the security suite's i386 list out of step) or
# offline; $INSTALL is ok, no-wine32 (its i386 dependencies cannot be met) or none.
# An install that gets to dpkg and then fails leaves a half-configured package, as a
# real one would.
cat >"$scratch/bin/apt-get" <<'EOF'
#!/bin/bash
echo "apt-get $*" >>"$STATE/calls"
args=" $* "
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
for package in $packages; do
    echo "$package" >>"$STATE/installed"
    [ "$package" = wine32 ] && echo "libwine:i386" >>"$STATE/installed"
done
exit 0
EOF
chmod +x "$scratch/bin"/*

build_packages=$(sed -n '/^BUILD_PACKAGES=(/,/)/p' "$source_dir/dev" | sed 's/^BUILD_PACKAGES=//' | tr -d '()')
wine_packages="wine wine64 fonts-wine xvfb xauth"
runs_both="dev: this machine runs 32-bit programs: running the i686 tree"
runs_x64="dev: wine32 could not be installed (build/logs/install.log says why): running the 64-bit build"
list_warning="dev: could not refresh the package list bookworm-security/main i386 Packages (build/logs/install.log says why)"
removed="dev: removed the i386 architecture again: nothing was installed from it"

# name | installed before | foreign before | UPDATE | INSTALL | exit | foreign after | lines dev prints, in order
cases=(
    "sound archive|build|-|ok|ok|0|i386|dev: enabling the i386|dev: installing: $wine_packages wine32|$runs_both"
    "everything there runs no apt|build wine wine32|i386|ok|ok|0|i386|$runs_both"
    "i386 list out of step|build|-|i386-list|no-wine32|0|-|$list_warning|$removed|$runs_x64"
    "i386 enabled before dev stays|build|i386|i386-list|no-wine32|0|i386|$list_warning|$runs_x64"
    "no archive reachable|-|-|offline|none|1|-|dev: could not refresh the package list bookworm InRelease|dev: could not install cmake ninja-build"
)
failures=0
for case in "${cases[@]}"; do
    IFS='|' read -r name before foreign update install want_status want_foreign lines <<<"$case"
    rm -rf "$state" "$scratch/dev/build"
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
    status=0
    output=$(env -u DEV_COMMAND PATH="$scratch/bin:$PATH" STATE="$state" UPDATE="$update" INSTALL="$install" \
        DEV_HOST_RUNS_I686=yes "$scratch/dev/dev" _packages 2>&1 3>&-) || status=$?
    got_foreign=$(paste -s -d ' ' "$state/foreign")
    problems=()
    [ "$status" = "$want_status" ] || problems+=("exit $status, wanted $want_status")
    [ "${got_foreign:--}" = "$want_foreign" ] || problems+=("foreign architectures '${got_foreign:--}', wanted '$want_foreign'")
    [ ! -s "$state/half-configured" ] || problems+=("dpkg --audit: $(cat "$state/half-configured")")
    if [ "$name" = "everything there runs no apt" ] && [ -s "$state/calls" ]; then
        problems+=("apt ran: $(head -n 1 "$state/calls")")
    fi
    # Each expected line, in order, and no other dev: line that warns or fails.
    rest=$output
    IFS='|' read -r -a wanted <<<"$lines"
    for line in "${wanted[@]}"; do
        if [[ $rest == *"$line"* ]]; then rest=${rest#*"$line"}; else problems+=("no line '$line'"); fi
    done
    while read -r printed; do
        for line in "${wanted[@]}"; do [[ $printed == "$line"* ]] && continue 2; done
        problems+=("unexpected: $printed")
    done < <(grep -E '^dev: (could not|removed|wine32)' <<<"$output" || true)
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
