# Sourced by ./dev: the host and its architectures, decided here and nowhere else, and
# the Wine prefixes of each. The i686 tree (build/) holds the program players get; the
# x64 tree (build/x64) the same sources as a 64-bit program. Uses dev's BUILD, ROOT,
# LOGS, say, quietly and install_missing.

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

# Wine for this host. Its 32-bit side is tried only where 32-bit code runs, and is not
# needed: without it this host runs the x64 tree alone.
install_wine() {
    local packages=(wine wine64 fonts-wine xvfb xauth "$@")
    host_runs_i686 && packages+=(-- wine32)
    install_missing "${packages[@]}"
}

# Whether the i686 tree runs here: on a host that runs 32-bit code, with Wine's 32-bit
# side installed, which install_wine has just tried. If not, NO_I686 says why.
i686_runs() {
    NO_I686="this machine cannot run 32-bit programs"
    host_runs_i686 || return 1
    NO_I686="wine32 could not be installed (${LOGS#"$ROOT"/}/install.log says why)"
    dpkg -s wine32 >/dev/null 2>&1
}

# The architectures whose programs run here: the players' one first.
host_architectures() { if i686_runs; then echo i686 x64; else echo x64; fi; }

# Points what follows at one architecture: its tree, its program and tools, and the
# Wine loader for it. Debian's wine command always takes the 32-bit loader when wine32
# is installed, so the 64-bit one is called by its own path.
use_arch() {
    ARCH=$1
    case $ARCH in
    i686) TREE=$BUILD WINE=wine WINE_ARCH=win32
        unset WINELOADER ;;
    x64) TREE=$BUILD/x64 WINE=/usr/lib/wine/wine64 WINE_ARCH=win64
        export WINELOADER=$WINE ;;
    esac
    PROGRAM=$TREE/bin/DustmarrowSetup.exe
}

# The players' architecture where this host runs it, else the x64 build, saying so.
use_host_arch() {
    if i686_runs; then
        use_arch i686
    else
        use_arch x64
        say "$NO_I686: using the 64-bit build of the same sources"
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
    quietly wine.log "$WINE" wineboot -i
    quietly wine.log wineserver -w
    # A crash must fail its test, not wait for someone to close a dialog.
    quietly wine.log "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
    # Wine draws the windows' frames itself: with no window manager in a virtual
    # display, a managed window would lack its caption and take two seconds to hide.
    quietly wine.log "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
    # The caption's close box is a Marlett glyph; this Wine does not find the font
    # where fonts-wine puts it.
    cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    quietly wine.log wineserver -w
    touch "$WINEPREFIX/.ready"
}

# The tests' own prefix, one for each architecture: the suite never sees the user's.
use_test_prefix() { prepare_prefix "$TREE/wine"; }

# Lets the prefix's Wine server end before the virtual display does, so that no Wine
# process is left talking to a display that has gone. Its services end by themselves
# once the last program has; a server that does not end in time is stopped. A
# player's own prefix is left alone: other programs may be running in it.
end_wine() {
    [[ $WINEPREFIX == "$BUILD"/* ]] || return 0
    timeout 30 wineserver -w >>"$LOGS/wine.log" 2>&1 || wineserver -k >>"$LOGS/wine.log" 2>&1 || true
}

# One Wine server that stays for the whole run. A server still ending from an earlier
# run would leave this run without one, and the first test would start a new server
# and its services, which would hold that test's output open until the run ends.
warm_wine_server() {
    wineserver -k >>"$LOGS/wine.log" 2>&1 || true
    wineserver -w >>"$LOGS/wine.log" 2>&1
    wineserver -p >>"$LOGS/wine.log" 2>&1
}

# Which Wine architecture a prefix has, from its registry: win32 or win64.
prefix_arch() { sed -n 's/^#arch=//p' "$1/system.reg" 2>/dev/null | head -n 1; }
