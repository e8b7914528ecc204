#!/usr/bin/env bash
# Test-only mend of Wine 8.0's Enhanced Video Renderer, installed into one Wine
# prefix as a native DLL; the product never ships or needs it.
#
# Wine 8.0's evr_render computes the source pointer of a bottom-up RGB32 frame
# as src - (uint32)((lines - 1) * stride): the 32-bit product is zero-extended,
# so a negative stride gives a wild pointer and the streaming thread faults.
# The mend sign-extends the product (cltq) before the subtraction; the store
# that followed it is dead and becomes a nop. Anything but the exact known
# file is refused.
#
# usage: wine-evr-mend.sh PREFIX   (then run programs with evr=n,b in WINEDLLOVERRIDES)
set -euo pipefail
prefix="$1"
source_dll=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/evr.dll
target_dll="$prefix/drive_c/windows/system32/evr.dll"
known_sha=607d20fc40f9ee8851c849fc068f96721b558d05223111098efcdbaba3d68ea0
offset=$((0x2ca0))
before="418d4424ff410fafc14929c04c89842488000000"
after="418d4424ff410fafc1489849 29c0660f1f440000"
after=${after// /}
marker_offset=$((0x40))
marker="57696e65206275696c74696e20444c4c"   # "Wine builtin DLL"

if [ -f "$target_dll" ] && [ "$(xxd -p -s $offset -l 20 "$target_dll")" = "$after" ]; then
    exit 0
fi
if [ ! -f "$source_dll" ]; then
    echo "wine-evr-mend: $source_dll not found; EVR playback tests will fault" >&2
    exit 1
fi
sha=$(sha256sum "$source_dll" | cut -d' ' -f1)
if [ "$sha" != "$known_sha" ]; then
    echo "wine-evr-mend: $source_dll is not the known Wine 8.0 build ($sha); not patching" >&2
    exit 1
fi
if [ "$(xxd -p -s $offset -l 20 "$source_dll")" != "$before" ] ||
   [ "$(xxd -p -s $marker_offset -l 16 "$source_dll")" != "$marker" ]; then
    echo "wine-evr-mend: unexpected bytes in $source_dll; not patching" >&2
    exit 1
fi
tmp=$(mktemp)
cp "$source_dll" "$tmp"
printf '%s' "$after" | xxd -r -p | dd of="$tmp" bs=1 seek=$offset conv=notrunc status=none
head -c 16 /dev/zero | dd of="$tmp" bs=1 seek=$marker_offset conv=notrunc status=none
mkdir -p "$(dirname "$target_dll")"
mv "$tmp" "$target_dll"
