#!/usr/bin/env bash
# Builds and runs the multi-video benchmark (benchmarks/videos) under Wine, in
# a prefix of its own whose Direct3D runs without its command-stream thread
# (csmt = 0; the README says why), with the playback tests' overrides.
#   scripts/bench-videos.sh [--counts 1,2,4,8,16] [--media ../test-data/clip-20s.mp4]
#   scripts/bench-videos.sh --latency ...
#   QV_BENCH_PERF=1 scripts/bench-videos.sh --counts 8
#       also records a system-wide CPU profile of the run (Debian's linux-perf)
#       and prints it by module and by thread.
#   QV_D3D9SHARE_PIXELS=0 scripts/bench-videos.sh --counts 16
#       runs the servers without the shared-texture stand-in's pixel copies,
#       which Windows' shared textures never make (nothing here reads the
#       pixels but --identify).
set -euo pipefail
if [ "${QV_D3D9SHARE_PIXELS:-1}" = 0 ] && [[ " $* " == *" --identify "* ]]; then
    echo "bench-videos: --identify reads the frames' pixels, which QV_D3D9SHARE_PIXELS=0 leaves black" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$root" && mkdir -p "${QV_BUILD:-build}" && cd "${QV_BUILD:-build}" && pwd)
"$root/scripts/setup.sh"
if [ "${QV_BENCH_PERF:-0}" = 1 ] && ! command -v perf >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends linux-perf >/dev/null
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
    QV_BUILD="$build" "$root/scripts/build.sh" >/dev/null
fi
cmake "$build" >/dev/null # picks up benchmark folders added since the last configure
cmake --build "$build" -j"$(nproc)" --target videos-bench -- --no-print-directory | tail -3

# The prefix is made with DISPLAY set (tools/wine-run.sh chooses one), or
# windows could never open in it; the value is read when Direct3D loads.
prefix="$build/wineprefix-bench"
export WINEPREFIX="$prefix" QV_BUILD_DIR="$build"
(cd "$build/bin" && "$root/tools/wine-run.sh" reg add 'HKCU\Software\Wine\Direct3D' /v csmt /t REG_DWORD /d 0 /f \
    >/dev/null)

# What Wine's processes of this prefix cost is read from Linux (their
# environment names the prefix); the X server is named by its pid.
export QV_BENCH_PREFIX="$prefix"
pids=""
display=$(cat "$build/xvfb.display" 2>/dev/null || true)
if [ -n "$display" ]; then
    xvfb=$(pgrep -f "^Xvfb $display( |$)" | head -1 || true)
    [ -n "$xvfb" ] && pids="Xvfb:$xvfb"
fi
export QV_BENCH_LINUX_PIDS="$pids" QV_BENCH_PID_FILE="$build/videos-bench.pids"

echo "load before: $(uptime)"
export WINEDLLOVERRIDES="mscoree,mshtml=;d3d9=n,b;evr=n,b;winedbg.exe=d"
if [ "${QV_BENCH_PERF:-0}" = 1 ]; then
    perf record -q -e cpu-clock -a -o "$build/videos-bench.perf" 2>/dev/null &
    perf_pid=$!
fi
status=0
# Wine's sound driver finds no card here and says so on every start.
"$root/tools/wine-run.sh" "$build/bin/videos-bench.exe" "$@" 2> >(grep -v -e '^ALSA lib' -e 'Evaluate error' -e 'cannot find card' -e 'snd_' >&2) || status=$?
if [ -n "${perf_pid:-}" ]; then
    kill -INT "$perf_pid"
    wait "$perf_pid" || true
    report() { perf report -i "$build/videos-bench.perf" --stdio "$@" 2>/dev/null | grep -v '^#' | grep -v '^$' | head -"$rows" || true; }
    rows=20
    echo; echo "CPU by module, the whole machine (other work included):"; report --sort dso
    if [ -s "$build/videos-bench.pids" ]; then
        # perf report filters only by live processes; these have ended.
        echo; echo "The benchmark's prefix only (client, servers, Wine's processes), % of all samples of the machine:"
        perf script -i "$build/videos-bench.perf" -F comm,pid,tid,ip,dso 2>/dev/null | awk -v pids="$build/videos-bench.pids" '
            BEGIN { while ((getline p < pids) > 0) { sub(/\r$/, "", p); ours[p] = 1 } }
            {
                total++
                for (i = 1; i <= NF && $i !~ /^[0-9]+\/[0-9]+$/; i++) {}
                split($i, id, "/")
                if (!(id[1] in ours)) next
                comm = $1; for (j = 2; j < i; j++) comm = comm " " $j
                dso = $NF; gsub(/[()]/, "", dso); sub(/.*\//, "", dso)
                mine++; bymod[dso]++; bythread[comm]++
            }
            END {
                printf "  all of it: %.1f %%\n", 100 * mine / total
                print "  by module:"
                for (m in bymod) printf "    %6.2f %%  %s\n", 100 * bymod[m] / total, m | "sort -rn | head -15"
                close("sort -rn | head -15")
                print "  by thread name:"
                for (t in bythread) printf "    %6.2f %%  %s\n", 100 * bythread[t] / total, t | "sort -rn | head -15"
            }'
    fi
fi
echo "load after: $(uptime)"
exit $status
