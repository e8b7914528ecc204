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
. "$(dirname "$0")/wine-mend-lib.sh"
mend_dll wine-evr-mend /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/evr.dll "$target_dll" \
    607d20fc40f9ee8851c849fc068f96721b558d05223111098efcdbaba3d68ea0 \
    "$((0x2ca0)) 418d4424ff410fafc14929c04c89842488000000 418d4424ff410fafc148984929c0660f1f440000"
install_shim
