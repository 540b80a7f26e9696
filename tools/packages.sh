# Sourced by ./dev, and by the test of its install step: what this machine needs from
# Debian's packages, and how it is installed. What apt says goes to
# build/logs/install.log. A package that cannot be had leaves the package state as dev
# found it. Uses dev's LOGS, DEV_COMMAND and say.
BUILD_PACKAGES=(cmake ninja-build g++-mingw-w64-i686-posix binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix
    binutils-mingw-w64-x86-64 clang lld googletest zip unzip osslsigncode openssl python3-pefile)
# This machine's Wine, 64-bit only (its i386 side is never enabled), the virtual
# displays, what asks a real one whether it answers, and what makes and enters the
# root with Debian 13's Wine.
WINE_PACKAGES=(wine wine64 fonts-wine xvfb x11-utils bubblewrap mmdebstrap)
LINT_PACKAGES=(clang-format clang-tidy)
SCREENSHOT_PACKAGES=(imagemagick)

# apt-get with apt's own retries for downloads. APT_OUTPUT is what it said, APT_ERROR
# its first error line.
apt_get() {
    local status=0
    APT_OUTPUT=$(DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Retries=3 "$@" 2>&1) || status=$?
    printf '%s\n' "$APT_OUTPUT" >>"$LOGS/install.log"
    APT_ERROR=$(grep -m 1 '^E: ' <<<"$APT_OUTPUT" || true)
    return $status
}

# The package lists that apt's output says it could not fetch, "; " between them.
failed_lists() { sed -n 's/^Err:[0-9]* [^ ]* \(.*[^ ]\) *$/\1/p' <<<"$1" | sort -u | sed ':a; N; s/\n/; /; ta'; }

# A mirror in the middle of a sync can serve one list out of step with its Release
# file for hours, and the refresh then fails; the lists that did arrive are still good
# to install from, so the failed ones are named and the install goes on.
refresh_package_lists() {
    apt_get update || true
    local failed
    failed=$(failed_lists "$APT_OUTPUT")
    [ -z "$failed" ] || say "could not refresh the package list $failed (build/logs/install.log says why):" \
        "installing from the lists that did arrive"
}

# Installs what is missing of the packages named, from this machine's own architecture
# only. The download comes first: a package that cannot be had, for a dependency that
# cannot be met or a file that cannot be fetched, fails before dpkg has unpacked anything.
install_missing() {
    local missing=() package status=0
    for package in "$@"; do dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package"); done
    [ ${#missing[@]} -gt 0 ] || return 0
    [ "$(id -u)" -eq 0 ] || { say "missing packages: ${missing[*]}; install them as root, or run ./dev as root" && exit 1; }
    say "installing: ${missing[*]}"
    refresh_package_lists
    apt_get install -y --no-install-recommends --download-only "${missing[@]}" &&
        apt_get install -y --no-install-recommends "${missing[@]}" || status=$?
    [ $status -ne 0 ] || return 0
    say "could not install ${missing[*]}: ${APT_ERROR:-apt-get failed ($status)}; build/logs/install.log has the rest;" \
        "run $DEV_COMMAND again once the package archive answers"
    exit 1
}
