#!/usr/bin/env bash
# Builds the program and starts it. Without deployment settings in the environment it starts the
# complete local demo (scripts/demo.sh); with them, the program alone. Without a display the program
# runs on the offscreen platform.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# The optimised build users run, in a folder of its own (the tests keep their Debug builds).
scripts/build.sh build-release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_TESTS=OFF
export BUILD_DIR=build-release
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM=offscreen
    echo "No display found: running on the offscreen platform."
fi
if [ -z "${VANTREL_PROBE_URL:-}${VANTREL_VERSION_SERVICE_URL:-}${VANTREL_WEBCHAT_URL:-}" ]; then
    exec scripts/demo.sh "$@"
fi
exec build-release/VantrelDetectInstallTool "$@"
