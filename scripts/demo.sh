#!/usr/bin/env bash
# Installs what is missing and builds, as the test script does, then:
# 1. plays the test video through the video player client and the real video
#    server under Wine and shows what happened: events, frame descriptors,
#    frames per second and a few frames written as PNG files;
# 2. runs the demonstration host, which plays videos through the qvfx
#    library's exports in its own Direct3D window, creating and closing
#    players in a cycle, and shows its log, the stand-in VM's report and
#    pictures of its window.
# Arguments go to the first demo program (for example
# --media build/test-data/clip-rgb.mp4, given as a Linux path).
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

echo
echo "== the demonstration host: videos through the library's exports in a Direct3D window =="
host_out="$build/demo-host"
host_log="$build/bin/qvfx-jni-video-sample.exe.log"
rm -rf "$host_out"
mkdir -p "$host_out"
host_status=0
# The stand-in's callback class has no onReady, so each video starts by itself
# as the library does without a receiver (a Java player would call play there).
QV_TEST_JVM_LEAVE_OUT=onReady ./tools/wine-run.sh "$build/bin/qvfx-demo-host-run.exe" --seconds 12 \
    --out "Z:$(echo "$host_out" | tr / '\\')" >"$host_out/run.txt" 2>&1 &
runner=$!
# Pictures come from the X server: a display of your own that answers, else
# the Xvfb that tools/wine-run.sh chose for this build.
display=${DISPLAY:-}
if [ -z "$display" ] || ! xdpyinfo -display "$display" >/dev/null 2>&1; then
    display=$(cat "$build/xvfb.display" 2>/dev/null || echo ":${QV_XVFB_DISPLAY:-87}")
fi
geometry=""
for _ in $(seq 150); do
    info=$(xwininfo -display "$display" -name "Direct3D9Ex Sample" 2>/dev/null || true)
    if [ -n "$info" ]; then
        x=$(awk '/Absolute upper-left X/ {print $4}' <<<"$info")
        y=$(awk '/Absolute upper-left Y/ {print $4}' <<<"$info")
        w=$(awk '/Width:/ {print $2}' <<<"$info")
        h=$(awk '/Height:/ {print $2}' <<<"$info")
        geometry="$w $h $x $y"
        break
    fi
    sleep 0.2
done
if [ -n "$geometry" ]; then
    read -r w h x y <<<"$geometry"
    # Only what lies on the screen can be taken.
    read -r sw sh < <(xdpyinfo -display "$display" | awk '/dimensions:/ {split($2, d, "x"); print d[1], d[2]}')
    [ $((x + w)) -le "$sw" ] || w=$((sw - x))
    [ $((y + h)) -le "$sh" ] || h=$((sh - y))
    last=0
    for shot in 4 8 11; do
        sleep $((shot - last))
        last=$shot
        ffmpeg -hide_banner -loglevel error -f x11grab -video_size "${w}x${h}" -i "$display+$x,$y" \
            -frames:v 1 -y "$host_out/window-${shot}s.png" || true
    done
fi
wait $runner || host_status=$?
grep -v "ALSA\|GStreamer\|^$\|^(wine" "$host_out/run.txt" || true
if [ -f "$host_log" ]; then
    echo
    echo "the host's players ($host_log):"
    echo "(the stand-in's callback class has no onReady: the library logs that once per player"
    echo " and starts each video by itself)"
    grep "\[PlayerThread\]\|handle delta\|\[RenderThread\]\|\[ERROR\]" "$host_log" | head -40 || true
fi
if [ -f "$host_out/jvm-report.txt" ]; then
    echo
    echo "the stand-in Java VM's account of calls and references:"
    echo "  onError calls: $(grep -c "call TestWinPlayerCallback.onError" "$host_out/jvm-report.txt" || true)"
    echo "  onDestroy calls: $(grep -c "call TestWinPlayerCallback.onDestroy" "$host_out/jvm-report.txt" || true)"
    grep "live global refs\|pinned strings\|attaches\|detaches\|unimplemented\|misuse" "$host_out/jvm-report.txt" |
        sed "s/^/  /" || true
fi
echo
if compgen -G "$host_out/*.png" >/dev/null; then
    echo "pictures of the host's window (open them with any image viewer):"
    ls -1 "$host_out"/*.png
else
    echo "no pictures of the host's window were taken"
fi
if [ $host_status -ne 0 ]; then
    echo "demo: the demonstration host did not end cleanly (see above)"
    status=$host_status
fi
exit $status
