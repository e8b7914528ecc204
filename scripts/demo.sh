#!/usr/bin/env bash
# Installs what is missing and builds, as the test script does, then plays the
# test video through the video player client and the real video server under
# Wine and shows what happened: events, frame descriptors, frames per second
# and a few frames written as PNG files. Arguments go to the demo program
# (for example --media build/test-data/clip-rgb.mp4, given as a Linux path).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh
build=$(cd "${QV_BUILD:-build}" && pwd)
frames="$build/demo-frames"
server_log="$build/bin/qvfx-reviv.exe.log"

# Linux paths among the arguments become the Z: paths Wine sees.
args=()
for arg in "$@"; do
    if [ -e "$arg" ]; then
        args+=("Z:$(realpath "$arg" | tr / '\\')")
    else
        args+=("$arg")
    fi
done

rm -rf "$frames"
# d3d9=n,b: the test-only shared-texture d3d9.dll beside the programs, so that
# the demo can open the server's frame textures by handle (Wine lacks them).
# evr=n,b: the prefix's mended copy of Wine's evr.dll (tools/wine-evr-mend.sh).
export WINEDLLOVERRIDES="mscoree,mshtml=;d3d9=n,b;evr=n,b"
status=0
./tools/wine-run.sh "$build/bin/qvfx-demo-player.exe" --out "Z:$(echo "$frames" | tr / '\\')" "${args[@]}" || status=$?

# Each server start begins its log anew, so the file holds this run's server.
if [ -f "$server_log" ]; then
    echo
    echo "the server's pin and filter log ($server_log):"
    sed -n '/\[DShowPlayer PIN\]/p; /\[DShowPlayer FILTERS\]/,/^[[:space:]]*$/p; /ERROR\|error\|fail/p' "$server_log" | head -40
fi
echo
if compgen -G "$frames/*.png" >/dev/null; then
    echo "frames written by the demo (open them with any image viewer):"
    ls -1 "$frames"/*.png
else
    echo "no frames were written"
fi
exit $status
