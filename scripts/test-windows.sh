#!/usr/bin/env bash
# The Windows program as users get it, built and proven here: cross-builds the program, the sample
# tools and the test suites, makes the deployable folder and the installer, runs the suites as
# Windows programs under Wine in a temporary prefix (never ~/.wine), then checks the installer; then
# makes the MSI package and checks it.
#   scripts/test-windows.sh [BUILD_DIR]   (default build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-win}
timings=()
stage() { # name, command...
    local name=$1 started=$SECONDS
    shift
    echo "== Windows: $name"
    "$@"
    timings+=("$name: $((SECONDS - started)) s")
}

run_suite() {
    local work
    work=$(mktemp -d -t vantrel-wine.XXXXXX)
    export WINEPREFIX=$work/prefix WINEDEBUG=-all
    wineboot -i >/dev/null 2>&1
    local status=0
    # CTest's first test (a fixture of every suite) puts the tests' own tasklist into the prefix's system
    # folder, where the program runs it from.
    (cd "$build_dir" && ctest --output-on-failure --timeout 300) || status=$?
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
    unset WINEPREFIX
    return $status
}

stage "cross build" scripts/build-windows.sh "$build_dir"
stage "deployable folder and installer" scripts/make-installer.sh "$build_dir"
stage "test suites under Wine" run_suite
stage "installer under Wine" scripts/check-windows-installer.sh "$build_dir"
stage "MSI" scripts/make-msi.sh "$build_dir"
stage "MSI under Wine" scripts/check-windows-msi.sh "$build_dir"
stage "signing" scripts/check-windows-signing.sh "$build_dir"
printf '%s\n' "${timings[@]}"
