#!/usr/bin/env bash
# Builds dist/VantrelDetectInstallToolSetup.exe (the file name the version service publishes for this
# program) from the deployable folder and the list of its files that the deploy step writes beside it:
#   scripts/make-installer.sh [BUILD_DIR] (default build-win).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-win}
scripts/deploy-windows.sh "$build_dir" >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
dist=$PWD/dist/VantrelDetectInstallTool-$version-win64
makensis -V2 -DVERSION="$version" -DDIST="$dist" -DFILES="$dist.files.nsh" \
    -DOUTFILE="$PWD/dist/VantrelDetectInstallToolSetup.exe" packaging/windows/VantrelDetectInstallTool.nsi
echo "dist/VantrelDetectInstallToolSetup.exe ($(du -h dist/VantrelDetectInstallToolSetup.exe | cut -f1))"
