#!/usr/bin/env bash
# Configures and builds with the MinGW-w64 toolchain into ./build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QV_BUILD:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G "Unix Makefiles" \
        -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$build" -j"$(nproc)" -- --no-print-directory
