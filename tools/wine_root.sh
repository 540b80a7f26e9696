# Sourced by ./dev: a second Wine, Debian 13's, in a root of its own. It holds only
# what runs Windows programs (Wine, 32- and 64-bit, and its fonts), so the host never
# needs its i386 side. It is made once per user and machine, shared by every checkout, and
# entered only with bubblewrap, whose mounts live in its own namespace and vanish with
# it. Uses dev's LOGS, say, install_missing, apt_get and refresh_package_lists.

WINE_ROOT_SUITE=trixie
WINE_ROOT_PACKAGES=(wine wine32 wine64 fonts-wine)
WINE_ROOT_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/dustmarrow-setup
# The packages' list is in the name: another list makes another root.
WINE_ROOT=$WINE_ROOT_CACHE/debian-13-wine-1

# The URIs that this host's apt sources name for a suite, one a line: deb822 sources
# first, as Debian 12 writes its own, then one-line ones.
host_suite_uris() {
    local suite=$1 file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk -v suite="$suite" '
            function flush(  i, j, n, m, uri, suites) {
                if (types ~ /(^| )deb( |$)/ && enabled != "no") {
                    n = split(uris, uri, " "); m = split(suitelist, suites, " ")
                    for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) if (suites[j] == suite) print uri[i]
                }
                types = uris = suitelist = enabled = ""
            }
            /^[[:space:]]*$/ { flush(); next }
            /^#/ { next }
            tolower($1) == "types:" { sub(/^[^:]*:[[:space:]]*/, ""); types = $0 }
            tolower($1) == "uris:" { sub(/^[^:]*:[[:space:]]*/, ""); uris = $0 }
            tolower($1) == "suites:" { sub(/^[^:]*:[[:space:]]*/, ""); suitelist = $0 }
            tolower($1) == "enabled:" { sub(/^[^:]*:[[:space:]]*/, ""); enabled = tolower($0) }
            END { flush() }' "$file"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        sed -n 's/^[[:space:]]*deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\)[[:space:]]\+\([^[:space:]]\+\).*/\2 \3/p' \
            "$file" | awk -v suite="$suite" '$2 == suite { print $1 }'
    done
}

# Debian's own mirror among them: one that debootstrap can reach, preferring the one
# whose release file, as apt last fetched it, says that it comes from Debian (a
# vendor's repository may name the same suite).
host_debian_mirror() {
    local codename=$1 uri list
    local -a uris
    mapfile -t uris < <(host_suite_uris "$codename" | grep -E '^(https?|ftp|file):' || true)
    for uri in "${uris[@]}"; do
        list=/var/lib/apt/lists/$(sed -E 's#^[a-z]+:/+##; s#/+$##; s#/#_#g' <<<"$uri")_dists_${codename}_
        grep -qsx 'Origin: Debian' "${list}InRelease" "${list}Release" && { echo "$uri"; return; }
    done
    [ ${#uris[@]} -eq 0 ] || echo "${uris[0]}"
}

# Runs a command as root inside the root $1, with the host's network and name service
# and nothing else of the host. /tmp must let apt's download user write.
in_root_as_admin() {
    local root=$1
    shift
    bwrap --bind "$root" / --dev /dev --proc /proc --perms 1777 --tmpfs /tmp \
        --ro-bind /etc/resolv.conf /etc/resolv.conf --clearenv \
        --setenv HOME /root --setenv PATH /usr/sbin:/usr/bin:/sbin:/bin --setenv LANG C.UTF-8 \
        --setenv DEBIAN_FRONTEND noninteractive "$@"
}

# Makes the root under a temporary name and renames it when it is whole: a root that
# a killed run or a failed download left half made is never used. WINE_ROOT_FAILURE
# says why when it fails.
make_wine_root() {
    local codename mirror partial=$WINE_ROOT.partial
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    mirror=$(host_debian_mirror "$codename")
    if [ -z "$mirror" ]; then
        WINE_ROOT_FAILURE="this machine's apt sources name no mirror for $codename"
        return 1
    fi
    # A half-made root from a run that was killed: its making process's mounts went
    # with that process's namespace, and rm stays on this file system regardless.
    if [ -e "$partial" ]; then
        say "removing a Debian 13 root that an earlier run left half made"
        rm -rf --one-file-system "$partial"
    fi
    say "making a Debian 13 root with Wine 10 in $WINE_ROOT (once per user and machine, a few minutes)"
    # debootstrap mounts /proc and /sys in the root it makes; in a mount namespace of
    # its own, those mounts end with it, however it ends.
    if ! unshare --mount --propagation private \
        debootstrap --variant=minbase "$WINE_ROOT_SUITE" "$partial" "$mirror" >>"$LOGS/install.log" 2>&1; then
        WINE_ROOT_FAILURE="debootstrap could not make it from $mirror"
        return 1
    fi
    # One suite only: every architecture's lists then come from one Release file, so
    # the i386 and amd64 sides of the multiarch libraries always match.
    echo "deb $mirror $WINE_ROOT_SUITE main" >"$partial/etc/apt/sources.list"
    if ! in_root_as_admin "$partial" dpkg --add-architecture i386 >>"$LOGS/install.log" 2>&1; then
        WINE_ROOT_FAILURE="its i386 architecture could not be enabled"
        return 1
    fi
    # The same install as the host's: a failed list is a warning, and the download
    # comes first.
    local status=0
    APT_ROOT=$partial refresh_package_lists
    APT_ROOT=$partial apt_install "${WINE_ROOT_PACKAGES[@]}" || status=$?
    if [ $status -ne 0 ]; then
        WINE_ROOT_FAILURE="its Wine could not be installed: ${APT_ERROR:-apt-get failed ($status)}"
        return 1
    fi
    in_root_as_admin "$partial" apt-get clean >>"$LOGS/install.log" 2>&1 || true
    mv "$partial" "$WINE_ROOT"
}

# The root, made when it is missing; one run makes it while any other waits for it.
# False, with WINE_ROOT_FAILURE, when it cannot be had: a later run tries again.
wine_root_ready() {
    [ -d "$WINE_ROOT" ] && return 0
    install_missing debootstrap
    mkdir -p "$WINE_ROOT_CACHE"
    local status=0
    exec {lock}>"$WINE_ROOT_CACHE/lock"
    flock -n "$lock" || {
        say "waiting for another run, which is making the Debian 13 root"
        flock "$lock"
    }
    if [ ! -d "$WINE_ROOT" ] && ! make_wine_root; then
        rm -rf --one-file-system "$WINE_ROOT.partial"
        status=1
    fi
    exec {lock}>&-
    return $status
}
