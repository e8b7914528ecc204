#!/usr/bin/env bash
# Runs a Windows program of the build under Wine with the test-only shared-texture
# d3d9.dll (tests/support/d3d9share) in front of Wine's own. The program's
# folder must hold that d3d9.dll, as every build's bin/ does; programs it
# starts inherit the override.
set -u
here=$(cd "$(dirname "$0")" && pwd)
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=};d3d9=n,b"
exec "$here/wine-run.sh" "$@"
