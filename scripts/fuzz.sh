#!/usr/bin/env bash
# Builds the libFuzzer target of the message and version-reply parsers with clang and runs it for a
# bounded time (FUZZ_SECONDS, default 20) from the corpus kept in tests/fuzz/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
out=build-fuzz
mkdir -p "$out"
qt_flags=$(pkg-config --cflags Qt5Core)
qt_libs=$(pkg-config --libs Qt5Core)
clang++ -std=c++17 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    $qt_flags -Inet -Iupdate -Iapp \
    tests/fuzz/fuzz_parsers.cpp net/CommandMessage.cpp update/VersionReply.cpp \
    $qt_libs -o "$out/fuzz_parsers"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Leaks are checked, except the one inside Qt's own JSON parser that this fuzzer found (see the
# suppression file). Crashes, sanitizer errors and leaks fail the run; their input is printed in Base64.
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=tests/fuzz/lsan-suppressions.txt:print_suppressions=0 \
    "$out/fuzz_parsers" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work" tests/fuzz/corpus
