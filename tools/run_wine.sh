#!/usr/bin/env bash
# Runs Wine for dev and the tests: this machine's own Wine, or, when
# DUSTMARROW_WINE_ROOT names a root that dev made, the Wine in that root, entered with
# bubblewrap. ctest runs every test program through it.
#   run_wine.sh i686|x64 PROGRAM [ARGUMENTS]   the loader for programs of that architecture
#   run_wine.sh server [ARGUMENTS]             the prefix's Wine server
# In the root, the checkout (DUSTMARROW_WINE_SHARE) and /tmp, which holds the X
# server's sockets and Wine's own, are the host's, at the same paths: Z: names the same
# files inside as outside. The root's own folders are read-only there, over an empty
# file system that takes the mount points. Processes of one prefix stay in the host's
# process namespace, since Wine's server signals them by id.
set -euo pipefail
what=$1
shift
case $what in
i686) command=(wine) ;;
# Debian's wine command takes the 32-bit loader whenever wine32 is installed, so the
# 64-bit one is called by its own path, and told that it is the loader.
x64) command=(env WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64) ;;
server) command=(wineserver) ;;
*)
    echo "run_wine.sh: i686, x64 or server, not '$what'" >&2
    exit 2
    ;;
esac
[ -n "${DUSTMARROW_WINE_ROOT:-}" ] || exec "${command[@]}" "$@"

root=$DUSTMARROW_WINE_ROOT share=${DUSTMARROW_WINE_SHARE:?the folder that the root shares with this machine}
entry=(bwrap)
for item in "$root"/*; do
    case ${item##*/} in
    dev | proc | sys | tmp | root | run | home | media | mnt | srv | boot) ;;
    *) [ -L "$item" ] && entry+=(--symlink "$(readlink "$item")" "/${item##*/}") || entry+=(--ro-bind "$item" "/${item##*/}") ;;
    esac
done
entry+=(--dev /dev --dev-bind /dev/shm /dev/shm --proc /proc --bind /tmp /tmp --dir /root --bind "$share" "$share"
    --clearenv --setenv HOME /root --setenv PATH /usr/bin:/bin --setenv LANG C.UTF-8)
for variable in WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES DISPLAY DUSTMARROW_TEST_PREFIX; do
    [ -z "${!variable:-}" ] || entry+=(--setenv "$variable" "${!variable}")
done
if [ -n "${XAUTHORITY:-}" ] && [ -f "$XAUTHORITY" ]; then
    entry+=(--ro-bind "$XAUTHORITY" "$XAUTHORITY" --setenv XAUTHORITY "$XAUTHORITY")
fi
[[ $PWD == "$share"* || $PWD == /tmp* ]] && entry+=(--chdir "$PWD") || entry+=(--chdir /)
exec "${entry[@]}" "${command[@]}" "$@"
