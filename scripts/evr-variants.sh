#!/usr/bin/env bash
# Runs the playback and player graph tests once under each variant of the
# renderer layer (QV_EVR_SHIM_VARIANT, see tests/support/evr-shim): about
# 4 minutes a variant here, too long for the test command, which runs only
# the layer's own playing tests per variant. Needs a built build folder.
set -uo pipefail
cd "$(dirname "$0")/../${QV_BUILD:-build}"
status=0
for variant in flush-at-begin flush-presenter-first resume-with-start seek-resume-with-restart \
    start-offset-current pause-on-preroll relookup-on-clock; do
    echo "== variant $variant"
    QV_EVR_SHIM_VARIANT=$variant ctest --output-on-failure -R '^(playback-tests|player-graph-tests)$' \
        --repeat until-pass:2 || status=1
done
exit $status
