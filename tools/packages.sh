# Sourced by ./dev: installs from Debian's packages what this machine lacks. What apt
# says goes to build/logs/install.log. A package that cannot be had leaves the package
# state as dev found it. Uses dev's ROOT, LOGS, DEV_COMMAND and say.

# apt-get with apt's own retries for downloads. APT_OUTPUT is what it said, APT_ERROR
# its first error line.
apt_get() {
    local status=0
    APT_OUTPUT=$(DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Retries=3 "$@" 2>&1) || status=$?
    printf '%s\n' "$APT_OUTPUT" >>"$LOGS/install.log"
    APT_ERROR=$(grep -m 1 '^E: ' <<<"$APT_OUTPUT" || true)
    return $status
}

# A mirror in the middle of a sync can serve one list out of step with its Release
# file for hours, and the refresh then fails; the lists that did arrive are still good
# to install from, so the failed ones are named and the install goes on.
refresh_package_lists() {
    apt_get update || true
    local failed
    failed=$(sed -n 's/^Err:[0-9]* [^ ]* \(.*[^ ]\) *$/\1/p' <<<"$APT_OUTPUT" | sort -u | paste -s -d ';' | sed 's/;/; /g')
    [ -z "$failed" ] || say "could not refresh the package list $failed (${LOGS#"$ROOT"/}/install.log says why):" \
        "installing from the lists that did arrive"
}

# The download comes first: a package that cannot be had, for a dependency that cannot
# be met or a file that cannot be fetched, fails before dpkg has unpacked anything.
apt_install() {
    apt_get install -y --no-install-recommends --download-only "$@" &&
        apt_get install -y --no-install-recommends "$@"
}

# Installs what is missing of the packages named. Those after "--" are wanted but not
# needed: dev goes on without them when they cannot be installed.
install_missing() {
    local needed=() wanted=() package into=needed
    for package in "$@"; do
        if [ "$package" = -- ]; then
            into=wanted
        elif ! dpkg -s "$package" >/dev/null 2>&1; then
            if [ $into = needed ]; then needed+=("$package"); else wanted+=("$package"); fi
        fi
    done
    local missing=("${needed[@]}" "${wanted[@]}")
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        say "missing packages: ${missing[*]}; install them as root, or run ./dev as root"
        exit 1
    fi
    # wine32 comes from the i386 side of the archive; an architecture enabled for it
    # goes again when nothing of it was installed, or every later refresh of this
    # machine would fetch its lists too.
    local enabled_i386=0
    if [[ " ${missing[*]} " == *" wine32 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        say "enabling the i386 architecture for wine32"
        dpkg --add-architecture i386
        enabled_i386=1
    fi
    say "installing: ${missing[*]}"
    refresh_package_lists
    local status=0
    [ ${#needed[@]} -eq 0 ] || apt_install "${needed[@]}" || status=$?
    [ $status -ne 0 ] || [ ${#wanted[@]} -eq 0 ] || apt_install "${wanted[@]}" || true
    if [ $enabled_i386 = 1 ] && ! dpkg -s wine32 >/dev/null 2>&1 &&
        dpkg --remove-architecture i386 >>"$LOGS/install.log" 2>&1; then
        say "removed the i386 architecture again: nothing was installed from it"
    fi
    [ $status -eq 0 ] && return 0
    say "could not install ${needed[*]}: ${APT_ERROR:-apt-get failed ($status)}; ${LOGS#"$ROOT"/}/install.log" \
        "has the rest; run $DEV_COMMAND again once the package archive answers"
    exit 1
}
