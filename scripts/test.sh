#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
start=$(date +%s)
./scripts/build.sh
built=$(date +%s)
echo "build: $((built - start)) s"
cd "${QV_BUILD:-build}"
status=0
ctest --output-on-failure -j2 || status=$?
echo "tests: $(($(date +%s) - built)) s"
exit $status
