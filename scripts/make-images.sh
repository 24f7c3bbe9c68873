#!/usr/bin/env bash
# Regenerates every image under resources/ (and resources/main.ico) with our own drawing program.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTREL_QT_MAJOR=5 >/dev/null
cmake --build build --target imagegen
QT_QPA_PLATFORM=offscreen build/tools/imagegen resources
echo "images written to resources/"
