#!/usr/bin/env bash
# Test-only mend of Wine 8.0's filter graph (quartz.dll), installed into one
# Wine prefix as a native DLL; the product never ships or needs it.
#
# Wine 8.0's IMediaSeeking::GetCurrentPosition of the graph returns the stop
# position whenever the graph has once reported EC_COMPLETE, and only Stop
# clears that: after a loop restart or any seek that follows the end, a
# running graph reads as "at the end" for ever. On Windows a seek resets the
# completion and the position moves on from the new place.
#
# The mend asks for the running state first: a running graph computes its
# position from the clock as before, now limited to the stop position, and
# only a graph that is not running falls back to the completion flag (its
# position is then limited to the stop position too). Three patches inside
# MediaSeeking_GetCurrentPosition: the two tests swap places (22 bytes), the
# code that read the stop position becomes the limit (17 bytes), and the
# running branch's jump back goes through the limit (5 bytes). Anything but
# the exact known file is refused.
#
# Wine prefers its builtin quartz, so the prefix's DLL overrides name the
# mended one first (quartz=native,builtin).
#
# usage: wine-quartz-mend.sh PREFIX
set -euo pipefail
prefix="$1"
system32="$prefix/drive_c/windows/system32"
override_marker="$prefix/.qv-quartz-override"
prefer_mended() {
    [ -f "$override_marker" ] && return 0
    WINEPREFIX="$prefix" WINEDEBUG=-all /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\DllOverrides' \
        /v quartz /t REG_SZ /d native,builtin /f </dev/null >/dev/null 2>&1
    touch "$override_marker"
}

. "$(dirname "$0")/wine-mend-lib.sh"
mend_dll wine-quartz-mend /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/quartz.dll "$system32/quartz.dll" \
    0eb147abcb4c1b00125c90ff155b32255b3c47468066a5a0858b9d869311f050 \
    "$((0x14b80)) f6852001000001753783bd8c000000020f84ca010000 83bd8c000000020f84d3010000f68520010000017522" \
    "$((0x14bb8)) 0f1f840000000000488bb5d0010000ebcd 483bb5d0010000480f4fb5d0010000ebcd" \
    "$((0x14da3)) e9eefdffff e910feffff"
prefer_mended
