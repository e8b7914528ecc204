#!/usr/bin/env bash
# Builds the product code (no tests) with clang for x86_64-w64-mingw32 into
# ./build-clang, warnings as errors: a second compiler's view of the code.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QV_CLANG_BUILD:-build-clang}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G "Unix Makefiles" \
        -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/clang-mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Debug \
        -DBUILD_TESTING=OFF -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
fi
cmake --build "$build" -j"$(nproc)" -- --no-print-directory
