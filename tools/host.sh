# Sourced by ./dev: the host, its Wines and the trees they run, decided here and
# nowhere else, and the Wine prefixes of each. The i686 tree (build/) holds the program
# players get; the x64 tree (build/x64) the same sources as a 64-bit program. Two Wines
# run them: this machine's own (Debian 12's Wine 8, 64-bit only, since the host never
# takes on the i386 side of its archive), and Debian 13's Wine 10, 32- and 64-bit, in
# a root of its own (tools/wine_root.sh). Uses dev's BUILD, ROOT, LOGS, say, quietly
# and install_missing.

# Whether this host runs 32-bit code, found by starting a 32-bit program, never
# guessed; DEV_64BIT_ONLY=1 makes dev act as on a host that cannot.
host_runs_i686() {
    if [ -z "${DEV_HOST_RUNS_I686:-}" ]; then
        local probe=$BUILD/host_runs_i686
        install_missing "${BUILD_PACKAGES[@]}"
        [ -x "$probe" ] || quietly build.log clang --target=i386-linux-gnu -nostdlib -static -fuse-ld=lld \
            -o "$probe" "$ROOT/tools/host_runs_i686.c"
        DEV_HOST_RUNS_I686=no
        [ "${DEV_64BIT_ONLY:-}" != 1 ] && "$probe" 2>/dev/null && DEV_HOST_RUNS_I686=yes
        export DEV_HOST_RUNS_I686
    fi
    [ "$DEV_HOST_RUNS_I686" = yes ]
}

HOST_WINE_PACKAGES=(wine wine64 fonts-wine xvfb bubblewrap)

# Starts making the root while the build runs, when it is missing, with everything
# that this machine needs installed first in one go.
begin_wine_root() {
    install_missing "${BUILD_PACKAGES[@]}" "${HOST_WINE_PACKAGES[@]}" "$@" debootstrap
    [ ! -d "$WINE_ROOT" ] || return 0
    rm -f "$LOGS/wine-root.failure"
    { wine_root_ready || echo "$WINE_ROOT_FAILURE" >"$LOGS/wine-root.failure"; } &
    WINE_ROOT_MAKER=$!
}

# This machine's Wine, and the root's when it can be had: ROOT_WINE says whether it
# can, and ROOT_WINE_FAILURE why not.
install_wine() {
    install_missing "${HOST_WINE_PACKAGES[@]}" "$@"
    ROOT_WINE=no
    if [ -n "${WINE_ROOT_MAKER:-}" ]; then
        wait "$WINE_ROOT_MAKER" || true
        ROOT_WINE_FAILURE=$(cat "$LOGS/wine-root.failure" 2>/dev/null || true)
        [ -n "$ROOT_WINE_FAILURE" ] || ROOT_WINE=yes
    elif wine_root_ready; then
        ROOT_WINE=yes
    else
        ROOT_WINE_FAILURE=$WINE_ROOT_FAILURE
    fi
    # A root that is there but whose Wine does not start (emptied by hand, or a
    # checkout it cannot share) is not used.
    if [ $ROOT_WINE = yes ] && ! (use_lane root && wine_server --version >>"$LOGS/wine.log" 2>&1); then
        ROOT_WINE=no
        ROOT_WINE_FAILURE="its Wine does not start: ${LOGS#"$ROOT"/}/wine.log says why; a checkout under /usr, /etc, /var"
        ROOT_WINE_FAILURE+=" or /opt cannot be shared into it, and removing $WINE_ROOT makes it anew"
    fi
}

# A Wine's version as "Wine 10.0", with LANE set.
wine_version() { "$ROOT/tools/run_wine.sh" server --version 2>&1 | sed -n 's/^Wine[^0-9]*\([0-9][0-9.]*\).*/Wine \1/p' || true; }

# Points what follows at one Wine: "host" for this machine's, "root" for the root's.
use_lane() {
    LANE=$1
    if [ "$LANE" = root ]; then
        export DUSTMARROW_WINE_ROOT=$WINE_ROOT DUSTMARROW_WINE_SHARE=$ROOT
    else
        unset DUSTMARROW_WINE_ROOT DUSTMARROW_WINE_SHARE
    fi
}

# Points what follows at one architecture: its tree, its program and tools.
use_arch() {
    ARCH=$1
    case $ARCH in
    i686) TREE=$BUILD WINE_ARCH=win32 ;;
    x64) TREE=$BUILD/x64 WINE_ARCH=win64 ;;
    esac
    PROGRAM=$TREE/bin/DustmarrowSetup.exe
}

# Wine for the lane and architecture chosen: a program, or the prefix's server.
wine_run() { "$ROOT/tools/run_wine.sh" "$ARCH" "$@"; }
wine_server() { "$ROOT/tools/run_wine.sh" server "$@"; }

# The lanes of ./dev test, one "lane arch" a line: this machine's Wine runs the x64
# tree; the root's Wine runs the players' program where this host runs 32-bit code, and
# the x64 tree again where it cannot. LANES_SAID is the one line that says so.
choose_lanes() {
    local host_wine root_wine
    host_wine=$(use_lane host && wine_version)
    LANES="host x64"
    if [ $ROOT_WINE = no ]; then
        LANES_SAID="the Debian 13 root with Wine 10 could not be had ($ROOT_WINE_FAILURE; a later run tries again):"
        LANES_SAID+=" running the x64 tree under this machine's $host_wine alone"
        return
    fi
    root_wine=$(use_lane root && wine_version)
    if host_runs_i686; then
        LANES="root i686"$'\n'$LANES
        LANES_SAID="the i686 tree (the shipped program) under $root_wine in the Debian 13 root;"
        LANES_SAID+=" the x64 tree under this machine's $host_wine"
    else
        LANES+=$'\n'"root x64"
        LANES_SAID="this machine cannot run 32-bit programs: the x64 tree under this machine's $host_wine,"
        LANES_SAID+=" then under $root_wine in the Debian 13 root; the shipped 32-bit executable is checked from its file"
    fi
}

# The shipped program for ./dev run, screenshot and bench: under the root's Wine where
# this host runs 32-bit code, else the x64 build under this machine's Wine, saying so.
use_players_program() {
    if host_runs_i686 && [ $ROOT_WINE = yes ]; then
        use_lane root
        use_arch i686
        say "the shipped program under $(wine_version) in the Debian 13 root"
        return
    fi
    use_lane host
    use_arch x64
    if host_runs_i686; then
        say "the Debian 13 root could not be had ($ROOT_WINE_FAILURE): using the 64-bit build of the same sources" \
            "under this machine's $(wine_version)"
    else
        say "this machine cannot run 32-bit programs: using the 64-bit build of the same sources"
    fi
}

# A player's own prefix is opened with this machine's Wine only: a newer Wine would
# upgrade the prefix, and the game's Wine might then no longer use it. The shipped
# program needs that Wine's 32-bit side.
use_players_prefix() {
    use_lane host
    if host_runs_i686 && dpkg -s wine32 >/dev/null 2>&1; then
        use_arch i686
        return
    fi
    use_arch x64
    if host_runs_i686; then
        say "this machine's Wine has no 32-bit side to run the shipped program: using the 64-bit build of the same" \
            "sources (dpkg --add-architecture i386, apt-get update and apt-get install wine32 add it)"
    else
        say "this machine cannot run 32-bit programs: using the 64-bit build of the same sources"
    fi
}

# Wine for everything dev starts: quiet, and without the .NET and HTML installers.
use_wine() {
    export WINEPREFIX=$1 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
}

# A Wine prefix of the project's own, made ready before anything runs in it: created
# and booted by one process (two Wine processes started at once on a missing prefix
# race, and one dies), then set up as the program and its tests need it.
prepare_prefix() {
    use_wine "$1"
    export WINEARCH=$WINE_ARCH
    [ -f "$WINEPREFIX/.ready" ] && return 0
    say "creating a Wine prefix in ${WINEPREFIX#"$ROOT"/}"
    # A 64-bit prefix made where 32-bit code cannot run says it cannot open syswow64's
    # rundll32: expected, and harmless.
    quietly wine.log wine_run wineboot -i
    quietly wine.log wine_server -w
    # A crash must fail its test, not wait for someone to close a dialog.
    quietly wine.log wine_run reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
    # Wine draws the windows' frames itself: with no window manager in a virtual
    # display, a managed window would lack its caption and take two seconds to hide.
    quietly wine.log wine_run reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
    # The caption's close box is a Marlett glyph; Wine 8 does not find the font where
    # fonts-wine puts it.
    cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    quietly wine.log wine_server -w
    touch "$WINEPREFIX/.ready"
}

# A prefix of the project's own in the tree, named for the lane: one Wine never
# upgrades another's prefix.
lane_prefix() { echo "$TREE/$1${DUSTMARROW_WINE_ROOT:+-root}"; }

# The tests' own prefix, one for each tree and Wine: the suite never sees the user's.
use_test_prefix() { prepare_prefix "$(lane_prefix wine)"; }

# Stops the Wine servers of the lane's test prefix and of the kit check's prefix
# beside it, and with them every Wine process there: the check ends its own server, but
# not when ctest has ended the check, and Wine's services outlive an interrupted run.
end_lane_servers() {
    local prefix
    for prefix in "$(lane_prefix wine)" "$(lane_prefix wine)-stranger"; do
        WINEPREFIX=$prefix wine_server -k >>"$LOGS/wine.log" 2>&1 || true
    done
}

# Lets the prefix's Wine server end before the virtual display does, so that no Wine
# process is left talking to a display that has gone. Its services end by themselves
# once the last program has; a server that does not end in time is stopped. A
# player's own prefix is left alone: other programs may be running in it.
end_wine() {
    [[ $WINEPREFIX == "$BUILD"/* ]] || return 0
    timeout 30 "$ROOT/tools/run_wine.sh" server -w >>"$LOGS/wine.log" 2>&1 || wine_server -k >>"$LOGS/wine.log" 2>&1 || true
}

# One Wine server that stays for the whole run. A server still ending from an earlier
# run would leave this run without one, and the first test would start a new server
# and its services, which would hold that test's output open until the run ends.
warm_wine_server() {
    wine_server -k >>"$LOGS/wine.log" 2>&1 || true
    wine_server -w >>"$LOGS/wine.log" 2>&1
    wine_server -p >>"$LOGS/wine.log" 2>&1
}

# Which Wine architecture a prefix has, from its registry: win32 or win64.
prefix_arch() { sed -n 's/^#arch=//p' "$1/system.reg" 2>/dev/null | head -n 1; }
