#!/usr/bin/env bash
# Builds and runs the benchmarks; prints a table of the program's figures beside those of a minimal
# Qt Widgets + WebSockets floor program, as ratios. Uses the fixed ports: stop the program first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# The optimised build that users run, in a folder of its own (the tests keep their Debug builds).
scripts/build.sh build-release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_TESTS=OFF
QT_QPA_PLATFORM=offscreen build-release/bench/vantrel_bench
