#!/usr/bin/env bash
# Runs a Windows program of the build under Wine: one prefix inside the build
# folder, made once; a persistent wineserver; Xvfb when there is no display.
set -u
exe="$1"; shift
out_dir=$(cd "$(dirname "$exe")" && pwd)
build_dir=${QV_BUILD_DIR:-$(dirname "$out_dir")}
export WINEPREFIX=${WINEPREFIX:-$build_dir/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
export WINEARCH=win64
wine=/usr/lib/wine/wine64
here=$(cd "$(dirname "$0")" && pwd)

if [ -z "${DISPLAY:-}" ]; then
    export DISPLAY=:${QV_XVFB_DISPLAY:-87}
    if ! [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ]; then
        (flock 9
         if ! [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ]; then
             setsid Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 </dev/null 9>&- &
             for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ] && break; sleep 0.05; done
         fi) 9>/tmp/qv-xvfb.lock
    fi
fi

"$here/wine-prefix.sh" "$WINEPREFIX" || exit 1
cd "$out_dir" && exec "$wine" "$exe" "$@"
