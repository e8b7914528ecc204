#!/usr/bin/env bash
# Builds as the tests do and makes the one zip an application takes:
# build/package/qvfx-<version>-win-x64.zip (see "What a Java application ships").
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
build=$(cd "${QV_BUILD:-build}" && pwd)
cpack --config "$build/CPackConfig.cmake" -B "$build/package"
