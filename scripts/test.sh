#!/usr/bin/env bash
# Builds and runs every test: a normal build with Qt 5, the same suite built with Qt 6, then the Qt 5
# suite under AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer (the tests set the
# suppressions for Qt's own leaks), then the fuzzer, then the Windows program: cross-built with Qt 5.15,
# packaged, and tested under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
started=$SECONDS
took() { echo "-- $1 took $((SECONDS - started)) s"; started=$SECONDS; }

echo "== build and test with Qt 5"
scripts/build.sh build
(cd build && ctest --output-on-failure -j"$jobs" --timeout 300)
took "build and test"

echo "== build and test with Qt 6"
scripts/build.sh build-qt6 -DVANTREL_QT_MAJOR=6
(cd build-qt6 && ctest --output-on-failure -j"$jobs" --timeout 300)
took "Qt 6 build and test"

echo "== build and test with AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer"
scripts/build.sh build-asan -DVANTREL_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j"$jobs" --timeout 600)
took "sanitizer build and test"

echo "== fuzzing the message and version-reply parsers (${FUZZ_SECONDS:-20} s)"
scripts/fuzz.sh
took "fuzzing"

scripts/test-windows.sh
took "Windows stage"
echo "All tests passed."
