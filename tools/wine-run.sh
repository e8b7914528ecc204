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
# window of the tests fail to open. Without one, Xvfb is started on the first
# free number from :87 (QV_XVFB_DISPLAY) and the choice is kept in the build
# folder, so that every program of the build shares one display.
display_answers() { xdpyinfo -display "$1" >/dev/null 2>&1; }
chosen_file="$build_dir/xvfb.display"
chosen_answers() { [ -f "$chosen_file" ] && display_answers "$(cat "$chosen_file")"; }
choose_display() {
    local first=${QV_XVFB_DISPLAY:-87} n d pid
    chosen_answers && return 0
    for n in $(seq "$first" $((first + 8))); do
        d=":$n"
        if ! display_answers "$d"; then
            setsid Xvfb "$d" -screen 0 1280x1024x24 -nolisten tcp >"$build_dir/xvfb.log" 2>&1 </dev/null 9>&- &
            pid=$!
            for _ in $(seq 200); do
                display_answers "$d" && break
                kill -0 "$pid" 2>/dev/null || break # the number is taken by a server that refuses us
                sleep 0.1
            done
        fi
        if display_answers "$d"; then
            echo "$d" >"$chosen_file"
            return 0
        fi
    done
    return 1
}
if [ -z "${DISPLAY:-}" ] || ! display_answers "$DISPLAY"; then
    if ! chosen_answers; then
        mkdir -p "$build_dir"
        (flock 9; choose_display) 9>"$build_dir/xvfb.lock"
    fi
    if ! chosen_answers; then
        echo "wine-run: no X server answers, and Xvfb could not be started; Xvfb said:" >&2
        cat "$build_dir/xvfb.log" >&2 2>/dev/null
        exit 1
    fi
    DISPLAY=$(cat "$chosen_file")
    export DISPLAY
fi

"$here/wine-prefix.sh" "$WINEPREFIX" "$build_dir" || exit 1
cd "$out_dir" && exec "$wine" "$exe" "$@"
