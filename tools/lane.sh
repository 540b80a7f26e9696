#!/usr/bin/env bash
# One lane of the suite (a test preset in CMakePresets.json): one tree's tests under one
# Wine, in a prefix and a display of its own in build/lanes/LANE, never a person's own.
# ctest brings it up and down (the fixture Lane.Starts, Lane.Stops) and runs every test
# program through this script, so that a test run by hand runs as in ./dev test.
#   lane.sh check | start | stop   whether this machine can run the lane (one line why not); bring it up or down
#   lane.sh prefix [plain]         make the prefix ready; plain: as a stranger's, for the kit
#   lane.sh i686|x64|server ...    run a Windows program, or the prefix's Wine server, in the lane
#   lane.sh stop-server            end the prefix's Wine server and every Wine process there
# DUSTMARROW_LANE names the lane, DUSTMARROW_PREFIX another prefix in its folder (the
# tests' is "wine"), DUSTMARROW_DISPLAY a real display to use instead of a virtual one.
set -euo pipefail
checkout=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
logs=$checkout/build/logs
lane=${DUSTMARROW_LANE:?names the lane: ctest --preset LANE runs one, ./dev test all this machine can run}
if [ -z "${DUSTMARROW_WINE:-}" ] || [ -z "${DUSTMARROW_TREE:-}" ]; then
    read -r _ DUSTMARROW_TREE DUSTMARROW_WINE _ < <(cmake -P "$checkout/cmake/lanes.cmake" 2>&1 | awk -v lane="$lane" '$1 == lane') ||
        { echo "lane.sh: CMakePresets.json has no lane $lane" >&2; exit 2; }
fi
folder=$checkout/build/lanes/$lane
[[ ${DUSTMARROW_PREFIX:-wine} =~ ^[a-z-]+$ ]] || { echo "lane.sh: DUSTMARROW_PREFIX names a prefix in the lane's folder" >&2; exit 2; }
# The end-to-end tests change HKEY_CURRENT_USER only in the prefix named to them here.
export WINEPREFIX=$folder/${DUSTMARROW_PREFIX:-wine} DUSTMARROW_TEST_PREFIX=$folder/wine
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
[ "$DUSTMARROW_TREE" = i686 ] && export WINEARCH=win32 || export WINEARCH=win64
# A Wine process without the lane's display would start the prefix's desktop process
# without one, and no window would ever show there.
if [ -f "$folder/display" ]; then export DISPLAY=$(<"$folder/display"); else unset DISPLAY; fi
source "$checkout/tools/wine_root.sh"
mkdir -p "$folder" "$logs"

quietly() { "$@" >>"$logs/wine.log" 2>&1 </dev/null || { echo "$lane: failed ($?): $*; see build/logs/wine.log" >&2; return 1; }; }
# Up to $1 seconds for the command that follows to succeed.
wait_for() {
    local deadline=$((SECONDS + $1))
    until "${@:2}"; do [ $SECONDS -lt $deadline ] && sleep 0.05 || return 1; done
}

# The lane's Wine, for programs or the prefix's server: this machine's, or the root's,
# entered with bubblewrap: its folders read-only over an empty file system, the
# checkout and /tmp (the X server's sockets and Wine's own) at the same paths, so that
# Z: names the same files, in this machine's process namespace, since Wine's server
# signals its clients by their ids. With EXEC=exec, the command takes this script's place.
wine_in_lane() {
    local -a command entry=(bwrap)
    case $1 in
    i686) command=(wine) ;;
    # Debian's wine takes the 32-bit loader whenever wine32 is installed, so the 64-bit
    # one is called by its own path, and told that it is the loader.
    x64) command=(env WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64) ;;
    server) command=(wineserver) ;;
    esac
    shift
    [ "$DUSTMARROW_WINE" = root ] || { ${EXEC:-} "${command[@]}" "$@"; return; }
    local item variable
    for item in "$WINE_ROOT"/{usr,etc,opt,var,bin,sbin,lib,lib32,lib64,libx32}; do
        [ -L "$item" ] && entry+=(--symlink "$(readlink "$item")" "/${item##*/}") || [ ! -e "$item" ] || entry+=(--ro-bind "$item" "/${item##*/}")
    done
    entry+=(--dev /dev --dev-bind /dev/shm /dev/shm --proc /proc --bind /tmp /tmp --dir /root --bind "$checkout" "$checkout"
        --clearenv --setenv HOME /root --setenv PATH /usr/bin:/bin --setenv LANG C.UTF-8)
    for variable in WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES DISPLAY DUSTMARROW_TEST_PREFIX; do
        [ -z "${!variable:-}" ] || entry+=(--setenv "$variable" "${!variable}")
    done
    [ ! -f "${XAUTHORITY:-}" ] || entry+=(--ro-bind "$XAUTHORITY" "$XAUTHORITY" --setenv XAUTHORITY "$XAUTHORITY")
    [[ $PWD/ == "$checkout"/* || $PWD/ == /tmp/* ]] && entry+=(--chdir "$PWD") || entry+=(--chdir /)
    ${EXEC:-} "${entry[@]}" "${command[@]}" "$@"
}

# Whether this machine can run the lane, found out, never guessed: a tiny 32-bit program
# started (unless DEV_64BIT_ONLY=1), the root looked for, the lane's Wine started.
check() {
    local why="" probe=$checkout/build/host_runs_i686
    if [ "$DUSTMARROW_TREE" = i686 ]; then
        [ -x "$probe" ] || clang --target=i386-linux-gnu -nostdlib -static -fuse-ld=lld -o "$probe" \
            "$checkout/tools/host_runs_i686.c" >>"$logs/build.log" 2>&1 || true
        [ "${DEV_64BIT_ONLY:-}" != 1 ] && "$probe" 2>/dev/null || why="this machine cannot run 32-bit programs"
    fi
    if [ -z "$why" ] && [ "$DUSTMARROW_WINE" = root ] && [ ! -d "$WINE_ROOT" ]; then
        why="the Debian 13 root with Wine 10 is not there ($WINE_ROOT); ./dev build makes it"
    elif [ -z "$why" ] && ! wine_in_lane server --version >>"$logs/wine.log" 2>&1; then
        why="its Wine does not start (build/logs/wine.log says why)"
        [ "$DUSTMARROW_WINE" != root ] || why+="; a checkout under /usr, /etc, /var or /opt cannot be shared into the root"
    fi
    [ -z "$why" ] || { echo "$lane cannot run on this machine: $why" >&2; return 1; }
}

# Makes the prefix ready before anything runs in it: created and booted by one process
# (two Wine processes started at once on a missing prefix race, and one dies), then set
# up as the tests need it.
prefix() {
    [ -f "$WINEPREFIX/.ready" ] && return 0
    # A 64-bit prefix made where 32-bit code cannot run cannot open syswow64's rundll32,
    # and says so: harmless.
    quietly wine_in_lane "$DUSTMARROW_TREE" wineboot -i
    quietly wine_in_lane server -w
    # Wine draws the windows' frames itself: with no window manager in a virtual
    # display, a managed window would lack its caption and take two seconds to hide.
    quietly wine_in_lane "$DUSTMARROW_TREE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
    # A stranger's prefix has nothing more.
    if [ "${1:-}" != plain ]; then
        # A crash must fail its test, not wait for someone to close a dialog.
        quietly wine_in_lane "$DUSTMARROW_TREE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
        # The caption's close box is a Marlett glyph; Wine 8 does not find the font
        # where fonts-wine puts it.
        cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    fi
    quietly wine_in_lane server -w
    touch "$WINEPREFIX/.ready"
}

# Brings the lane up, after what an earlier run left is brought down: its display, its
# prefix, and one warm Wine server with its services, started before any test so that
# no service holds a test's output open (ctest would wait for it).
start() {
    check
    stop
    if [ -n "${DUSTMARROW_DISPLAY:-}" ]; then
        DISPLAY=$DUSTMARROW_DISPLAY xdpyinfo >/dev/null 2>&1 ||
            { echo "$lane: the display $DUSTMARROW_DISPLAY does not answer" >&2; return 1; }
        echo "$DUSTMARROW_DISPLAY" >"$folder/display"
    else
        # The X server picks a free display itself, so that lanes at once never take the
        # same one; in a session of its own, it outlives this script until stop.
        : >"$folder/display-number"
        setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -noreset -nolisten tcp 3>"$folder/display-number" \
            </dev/null >>"$logs/x.log" 2>&1 &
        echo $! >"$folder/xvfb.pid"
        wait_for 60 test -s "$folder/display-number" ||
            { echo "$lane: the virtual display did not start; build/logs/x.log says why" >&2; return 1; }
        echo ":$(head -n 1 "$folder/display-number")" >"$folder/display"
    fi
    export DISPLAY=$(<"$folder/display")
    prefix
    quietly wine_in_lane server -p
    quietly wine_in_lane "$DUSTMARROW_TREE" wineboot
    touch "$folder/up"
}

# Brings the lane down: the Wine servers of its prefixes, with every Wine process there,
# then its virtual display.
stop_server() { wine_in_lane server -k || true; wine_in_lane server -w || true; }
stop() {
    local prefix pid
    rm -f "$folder/up"
    for prefix in "$folder"/*/system.reg; do
        [ ! -e "$prefix" ] || WINEPREFIX=${prefix%/system.reg} stop_server >>"$logs/wine.log" 2>&1
    done
    if pid=$(cat "$folder/xvfb.pid" 2>/dev/null) && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = Xvfb ]; then
        kill "$pid" && { wait_for 30 test ! -e "/proc/$pid" || true; }
    fi
    rm -f "$folder/xvfb.pid" "$folder/display" "$folder/display-number"
}

case ${1:-} in
check | start | stop) "$1" ;;
prefix) prefix "${2:-}" ;;
server) wine_in_lane "$@" ;;
stop-server) stop_server ;;
i686 | x64)
    [ ! -e "$folder/up" ] || EXEC=exec wine_in_lane "$@"
    # A test list that ctest asks for before it brings the lane up is made in the lane
    # brought up for it alone.
    trap stop EXIT
    start >&2
    wine_in_lane "$@"
    ;;
*) echo "usage: lane.sh check | start | stop | prefix [plain] | i686|x64 PROGRAM [ARGUMENT...] | server [ARGUMENT...] | stop-server" >&2 && exit 2 ;;
esac
