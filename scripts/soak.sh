#!/usr/bin/env bash
# Installs what is missing and builds, as the test script does, then runs the
# soak and fault campaign under Wine and prints its table: players created and
# closed by the thousand, servers killed from outside, players closed at random
# moments, a client that stops answering, a host that dies, hostile command
# lines, error blocks and media files. The full sizes are the default;
# --quick runs the small sizes that the tests run. Other arguments go to the
# program (--seed N, --cycles N, --kills N, --closes N, --commands N,
# --blocks N, --only cycles|kills|closes|hung|host|hostile).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${QV_SOAK_NO_BUILD:-}" ]; then
    ./scripts/setup.sh
    ./scripts/build.sh
fi
build=$(cd "${QV_BUILD:-build}" && pwd)
# d3d9=n,b: the test-only shared-texture d3d9.dll; evr=n,b: the test prefix's
# renderer layer. The servers inherit both, as in the playback tests.
export WINEDLLOVERRIDES="mscoree,mshtml=;d3d9=n,b;evr=n,b"
start=$(date +%s)
status=0
./tools/wine-run.sh "$build/bin/qvfx-soak.exe" "$@" || status=$?
echo "soak: $(($(date +%s) - start)) s, exit $status"
exit $status
