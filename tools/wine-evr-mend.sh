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
# With SHIM_DLL (tests/support/evr-shim, built as qv-evr-shim.dll) the layer
# becomes system32\evr.dll and the mended renderer sits beside it as
# qvevrmended.dll, which the layer loads; without it (not built yet) the
# mended renderer itself is system32\evr.dll.
#
# usage: wine-evr-mend.sh PREFIX [SHIM_DLL]   (then run programs with evr=n,b in WINEDLLOVERRIDES)
set -euo pipefail
prefix="$1"
shim_dll="${2:-}"
source_dll=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/evr.dll
system32="$prefix/drive_c/windows/system32"
target_dll="$system32/evr.dll"
if [ -n "$shim_dll" ] && [ -f "$shim_dll" ]; then
    target_dll="$system32/qvevrmended.dll"
else
    shim_dll=""
fi
# Only once the mended renderer is in place: the layer forwards to it.
install_shim() {
    # A new file (rename), never a rewrite: running programs map the old one.
    if [ -n "$shim_dll" ] && ! cmp -s "$shim_dll" "$system32/evr.dll"; then
        tmp=$(mktemp "$system32/.evr.XXXXXX")
        cp "$shim_dll" "$tmp"
        chmod 644 "$tmp"
        mv "$tmp" "$system32/evr.dll"
    fi
}
known_sha=607d20fc40f9ee8851c849fc068f96721b558d05223111098efcdbaba3d68ea0
offset=$((0x2ca0))
before="418d4424ff410fafc14929c04c89842488000000"
after="418d4424ff410fafc1489849 29c0660f1f440000"
after=${after// /}
marker_offset=$((0x40))
marker="57696e65206275696c74696e20444c4c"   # "Wine builtin DLL"

if [ -f "$target_dll" ] && [ "$(xxd -p -s $offset -l 20 "$target_dll")" = "$after" ]; then
    install_shim
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
mkdir -p "$system32"
tmp=$(mktemp "$system32/.mend.XXXXXX")
cp "$source_dll" "$tmp"
printf '%s' "$after" | xxd -r -p | dd of="$tmp" bs=1 seek=$offset conv=notrunc status=none
head -c 16 /dev/zero | dd of="$tmp" bs=1 seek=$marker_offset conv=notrunc status=none
chmod 644 "$tmp"
mv "$tmp" "$target_dll"
install_shim
