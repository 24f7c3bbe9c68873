#!/usr/bin/env bash
# Cross-builds the Windows program, the sample tools, the sample version service and the test suites
# with MinGW-w64 against the Windows Qt in ../shared/mingw-qt (or $VANTREL_MINGW_QT), a Qt 5.15: the last
# Qt that runs on Windows 7.
#   scripts/build-windows.sh [BUILD_DIR] [extra cmake arguments]      (default folder: build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build_dir=${1:-build-win}
shift || true
qt=${VANTREL_MINGW_QT:-$(cd .. && pwd)/shared/mingw-qt}
if [ ! -f "$qt/lib/cmake/Qt5/Qt5Config.cmake" ]; then
    echo "No Windows Qt at $qt (set VANTREL_MINGW_QT to the folder that holds it)." >&2
    exit 1
fi
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$qt" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/scripts/wine-run.sh" -DVANTREL_QT_MAJOR=5 "$@" >/dev/null
cmake --build "$build_dir" -- -j"$(nproc)"
