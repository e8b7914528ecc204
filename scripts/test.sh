#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
start=$(date +%s)
./scripts/build.sh
built=$(date +%s)
echo "build: $((built - start)) s"
status=0
# The deliverables with a second compiler, warnings as errors (scripts/build-clang.sh).
./scripts/build-clang.sh >/dev/null || status=$?
echo "clang build: $(($(date +%s) - built)) s"
built=$(date +%s)
cd "${QV_BUILD:-build}"
# A test program that fails is run once more, so a rare fault of Wine at a
# program's exit does not hide the rest; its first failure stays in the output.
ctest --output-on-failure -j2 --repeat until-pass:2 || status=$?
echo "tests: $(($(date +%s) - built)) s"
exit $status
