#!/usr/bin/env bash
# Runs a Windows program of the build under Wine: one prefix inside the build
# folder, made once; a persistent wineserver; Xvfb when no X server answers.
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

# A display counts only when an X server answers on it: a socket left behind
# by an X server that has gone (or a DISPLAY naming nothing) would make every
# window of the tests fail to open.
display_answers() { xdpyinfo -display "$1" >/dev/null 2>&1; }
if [ -z "${DISPLAY:-}" ] || ! display_answers "$DISPLAY"; then
    export DISPLAY=:${QV_XVFB_DISPLAY:-87}
    if ! display_answers "$DISPLAY"; then
        xvfb_log="$build_dir/xvfb.log"
        (flock 9
         if ! display_answers "$DISPLAY"; then
             setsid Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >"$xvfb_log" 2>&1 </dev/null 9>&- &
             for _ in $(seq 200); do display_answers "$DISPLAY" && break; sleep 0.1; done
         fi) 9>/tmp/qv-xvfb.lock
        if ! display_answers "$DISPLAY"; then
            echo "wine-run: no X server answers on $DISPLAY; Xvfb said:" >&2
            cat "$xvfb_log" >&2 2>/dev/null
            exit 1
        fi
    fi
fi

"$here/wine-prefix.sh" "$WINEPREFIX" || exit 1
cd "$out_dir" && exec "$wine" "$exe" "$@"
