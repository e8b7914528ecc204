#!/usr/bin/env bash
# Makes the Wine prefix once and keeps wineserver and Wine's own services up,
# so that each later program starts quickly. The services are started here
# with no inherited output, or they would hold a caller's pipe open (ctest
# waits for its test's pipe to close).
set -u
prefix="$1"
# The build whose bin/ holds the renderer layer; a prefix kept elsewhere
# (WINEPREFIX set by the caller) still gets the layer of the build it runs.
build_dir="${2:-$(dirname "$prefix")}"
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
wine=/usr/lib/wine/wine64
mkdir -p "$(dirname "$prefix")"
(
    flock 9
    if ! [ -f "$prefix/.qv-ready" ]; then
        "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&-
        /usr/lib/wine/wineserver -w 9>&-
        touch "$prefix/.qv-ready"
    fi
    # Used only by programs started with evr=n,b; see the script for why. The
    # renderer layer of tests/support/evr-shim goes in too once it is built.
    "$(dirname "$0")/wine-evr-mend.sh" "$prefix" "$build_dir/bin/qv-evr-shim.dll" 9>&- || true
    # Taken by every program of the prefix (a native DLL in system32).
    "$(dirname "$0")/wine-quartz-mend.sh" "$prefix" 9>&- || true
    marker="$prefix/.qv-server-pid"
    if ! { [ -f "$marker" ] && kill -0 "$(cat "$marker")" 2>/dev/null; }; then
        /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 9>&-
        "$wine" wineboot </dev/null >/dev/null 2>&1 9>&-
        pid=$(pgrep -n -f "wineserver.* -p" || true)
        echo "${pid:-0}" >"$marker"
    fi
    # The desktop's own process (explorer) is otherwise started by the first
    # program that opens a window, and inherits that program's output: ctest
    # then waits for a finished test's pipe for as long as the desktop lives,
    # that is while any other test runs. Started here with no inherited output.
    desktop_running() {
        local p
        for p in $(pgrep -f 'explorer.exe /desktop'); do
            tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$prefix" && return 0
        done
        return 1
    }
    if ! desktop_running; then
        setsid "$wine" explorer.exe /desktop </dev/null >/dev/null 2>&1 9>&- &
        for _ in $(seq 50); do
            desktop_running && break
            sleep 0.1
        done
    fi
) 9>"$prefix.lock"
