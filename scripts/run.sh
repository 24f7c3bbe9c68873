#!/usr/bin/env bash
# Builds the program and starts it. Without a display it runs on the offscreen platform.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    export QT_QPA_PLATFORM=offscreen
    echo "No display found: running on the offscreen platform."
fi
exec build/VantrelDetectInstallTool "$@"
