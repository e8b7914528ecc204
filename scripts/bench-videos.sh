#!/usr/bin/env bash
# Builds and runs the multi-video benchmark (benchmarks/videos) under Wine, in
# a prefix of its own whose Direct3D runs without its command-stream thread
# (csmt = 0; the README says why), with the playback tests' overrides.
#   scripts/bench-videos.sh [--counts 1,2,4,8,16 | --latency ...]
#   QV_BENCH_PERF=1 scripts/bench-videos.sh --counts 8
#       also records a system-wide CPU profile of the run (Debian's linux-perf)
#       and prints it by module and by thread.
set -euo pipefail
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
export QV_BENCH_LINUX_PIDS="$pids"

echo "load before: $(uptime)"
export WINEDLLOVERRIDES="mscoree,mshtml=;d3d9=n,b;evr=n,b;winedbg.exe=d"
if [ "${QV_BENCH_PERF:-0}" = 1 ]; then
    perf record -q -e cpu-clock -a -o "$build/videos-bench.perf" 2>/dev/null &
    perf_pid=$!
fi
status=0
# Wine's sound driver finds no card here and says so on every start.
"$root/tools/wine-run.sh" "$build/bin/videos-bench.exe" "$@" 2> >(grep -v '^ALSA lib' >&2) || status=$?
if [ -n "${perf_pid:-}" ]; then
    kill -INT "$perf_pid"
    wait "$perf_pid" || true
    echo; echo "CPU by module (system-wide, the whole run):"
    perf report -i "$build/videos-bench.perf" --sort dso --stdio 2>/dev/null | grep -v '^#' | grep -v '^$' | head -25
    echo; echo "CPU by thread:"
    perf report -i "$build/videos-bench.perf" --sort comm --stdio 2>/dev/null | grep -v '^#' | grep -v '^$' | head -25
fi
echo "load after: $(uptime)"
exit $status
