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
source_dll=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/quartz.dll
system32="$prefix/drive_c/windows/system32"
target_dll="$system32/quartz.dll"
known_sha=0eb147abcb4c1b00125c90ff155b32255b3c47468066a5a0858b9d869311f050
# offset, original bytes, mended bytes
patches=(
    "$((0x14b80)) f6852001000001753783bd8c000000020f84ca010000 83bd8c000000020f84d3010000f68520010000017522"
    "$((0x14bb8)) 0f1f840000000000488bb5d0010000ebcd 483bb5d0010000480f4fb5d0010000ebcd"
    "$((0x14da3)) e9eefdffff e910feffff"
)
marker_offset=$((0x40))
marker="57696e65206275696c74696e20444c4c"   # "Wine builtin DLL"

matches() { # file, which (2 = original, 3 = mended)
    local p fields
    for p in "${patches[@]}"; do
        read -r -a fields <<<"$p"
        local want=${fields[$2 - 1]}
        [ "$(xxd -p -s "${fields[0]}" -l $((${#want} / 2)) "$1" | tr -d '\n')" = "$want" ] || return 1
    done
}

override_marker="$prefix/.qv-quartz-override"
prefer_mended() {
    [ -f "$override_marker" ] && return 0
    WINEPREFIX="$prefix" WINEDEBUG=-all /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\DllOverrides' \
        /v quartz /t REG_SZ /d native,builtin /f </dev/null >/dev/null 2>&1
    touch "$override_marker"
}

if [ -f "$target_dll" ] && matches "$target_dll" 3; then
    prefer_mended
    exit 0
fi
if [ ! -f "$source_dll" ]; then
    echo "wine-quartz-mend: $source_dll not found; positions after the end will read as the end" >&2
    exit 1
fi
sha=$(sha256sum "$source_dll" | cut -d' ' -f1)
if [ "$sha" != "$known_sha" ]; then
    echo "wine-quartz-mend: $source_dll is not the known Wine 8.0 build ($sha); not patching" >&2
    exit 1
fi
if ! matches "$source_dll" 2 || [ "$(xxd -p -s $marker_offset -l 16 "$source_dll")" != "$marker" ]; then
    echo "wine-quartz-mend: unexpected bytes in $source_dll; not patching" >&2
    exit 1
fi
mkdir -p "$system32"
tmp=$(mktemp "$system32/.mend.XXXXXX")
cp "$source_dll" "$tmp"
for p in "${patches[@]}"; do
    read -r -a fields <<<"$p"
    printf '%s' "${fields[2]}" | xxd -r -p | dd of="$tmp" bs=1 seek="${fields[0]}" conv=notrunc status=none
done
head -c 16 /dev/zero | dd of="$tmp" bs=1 seek=$marker_offset conv=notrunc status=none
chmod 644 "$tmp"
mv "$tmp" "$target_dll"
prefer_mended
