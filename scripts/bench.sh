#!/usr/bin/env bash
# Builds and runs the benchmarks; prints a table of the program's figures beside those of a minimal
# Qt Widgets + WebSockets floor program, as ratios. Uses the fixed ports: stop the program first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
QT_QPA_PLATFORM=offscreen build/bench/vantrel_bench
