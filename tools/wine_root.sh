# Sourced by ./dev and tools/lane.sh: the root with Debian 13's Wine, which holds only
# what runs Windows programs (Wine, 32- and 64-bit, and its fonts), so that this
# machine never needs its i386 side. Made once per user and machine, shared by every
# checkout, and entered only with bubblewrap. ./dev makes it, with its LOGS and say.
# The packages' list is in the name: another list makes another root.
WINE_ROOT=${XDG_CACHE_HOME:-$HOME/.cache}/dustmarrow-setup/debian-13-wine-1

# Makes the root under a temporary name, in one mmdebstrap command from Debian's own
# archive as this machine's apt names it, and renames it once it is whole: a root that
# a killed run or a failed download left half made is never used. mmdebstrap mounts
# /dev, /proc and /sys in the root it makes; in a mount namespace of its own, those
# mounts end with it, however it ends. One suite gives both architectures' lists, so
# that the i386 and amd64 sides of the multiarch libraries always match.
make_wine_root() {
    local mirror output partial=$WINE_ROOT.partial failed
    debian_archive() { apt-get indextargets "Codename: $(. /etc/os-release && echo "$VERSION_CODENAME")" "Label: Debian" \
        "Created-By: Packages" --format '$(REPO_URI)' | sort -u | head -n 1; }
    # Without package lists apt knows no archive yet.
    mirror=$(debian_archive)
    [ -n "$mirror" ] || { refresh_package_lists && mirror=$(debian_archive); }
    [ -n "$mirror" ] || { WINE_ROOT_FAILURE="apt names no Debian archive for this machine's release" && return 1; }
    if [ -e "$partial" ]; then
        say "removing a Debian 13 root that an earlier run left half made"
        rm -rf --one-file-system "$partial"
    fi
    say "making a Debian 13 root with Wine 10 in $WINE_ROOT (once per user and machine, a few minutes)"
    if output=$(unshare --mount --propagation private mmdebstrap --mode=root --variant=minbase --architectures=amd64,i386 \
        --include=wine,wine32,wine64,fonts-wine --aptopt='Acquire::Retries "3"' trixie "$partial" "deb $mirror trixie main" \
        2>&1 | tee -a "$LOGS/install.log"); then
        mv "$partial" "$WINE_ROOT"
        return
    fi
    failed=$(failed_lists "$output")
    [ -z "$failed" ] || say "could not refresh the package list $failed in the Debian 13 root (build/logs/install.log says why)"
    WINE_ROOT_FAILURE="mmdebstrap could not make it from $mirror: $(grep -m 1 '^E: ' <<<"$output" || echo 'it failed')"
    rm -rf --one-file-system "$partial"
    return 1
}

# The root, made when it is missing; one run makes it while any other waits for it.
# False, with WINE_ROOT_FAILURE, when it cannot be had: a later run tries again.
wine_root_ready() {
    [ -d "$WINE_ROOT" ] && return 0
    mkdir -p "${WINE_ROOT%/*}"
    local status=0
    exec {lock}>"${WINE_ROOT%/*}/lock"
    flock -n "$lock" || { say "waiting for another run, which is making the Debian 13 root" && flock "$lock"; }
    [ -d "$WINE_ROOT" ] || make_wine_root || status=1
    exec {lock}>&-
    return $status
}
