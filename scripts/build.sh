#!/usr/bin/env bash
# Configures and builds into the given folder: scripts/build.sh BUILD_DIR [extra cmake arguments]
# With Qt 5, as the Windows program is built; -DVANTREL_QT_MAJOR=6 among the arguments builds with Qt 6.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$1
shift
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTREL_QT_MAJOR=5 "$@" >/dev/null
cmake --build "$build_dir" -- -j"$(nproc)"
