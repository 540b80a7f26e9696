# Sourced by ./dev: installs from Debian's packages what this machine lacks. What apt
# says goes to build/logs/install.log. A package that cannot be had leaves the package
# state as dev found it. Uses dev's ROOT, LOGS, DEV_COMMAND and say.

# apt-get with apt's own retries for downloads: on this machine, or with APT_ROOT in
# that root. APT_OUTPUT is what it said, APT_ERROR its first error line.
apt_get() {
    local status=0
    local -a command=(apt-get)
    [ -z "${APT_ROOT:-}" ] || command=(in_root_as_admin "$APT_ROOT" apt-get)
    APT_OUTPUT=$(DEBIAN_FRONTEND=noninteractive "${command[@]}" -o Acquire::Retries=3 "$@" 2>&1) || status=$?
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
    [ -z "$failed" ] || say "could not refresh the package list $failed${APT_ROOT:+ in the Debian 13 root}" \
        "(${LOGS#"$ROOT"/}/install.log says why): installing from the lists that did arrive"
}

# The download comes first: a package that cannot be had, for a dependency that cannot
# be met or a file that cannot be fetched, fails before dpkg has unpacked anything.
apt_install() {
    apt_get install -y --no-install-recommends --download-only "$@" &&
        apt_get install -y --no-install-recommends "$@"
}

# Installs what is missing of the packages named, from this machine's own
# architecture only.
install_missing() {
    local missing=() package
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        say "missing packages: ${missing[*]}; install them as root, or run ./dev as root"
        exit 1
    fi
    say "installing: ${missing[*]}"
    refresh_package_lists
    local status=0
    apt_install "${missing[@]}" || status=$?
    [ $status -eq 0 ] && return 0
    say "could not install ${missing[*]}: ${APT_ERROR:-apt-get failed ($status)}; ${LOGS#"$ROOT"/}/install.log" \
        "has the rest; run $DEV_COMMAND again once the package archive answers"
    exit 1
}
