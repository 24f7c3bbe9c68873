#!/usr/bin/env bash
# Builds dist/VantrelDetectInstallToolSetup.exe (the file name the version service publishes for this
# program) from the deployable folder and the list of its files that the deploy step writes beside it:
#   scripts/make-installer.sh [BUILD_DIR] (default build-win).
# Signing (scripts/sign-windows.sh, which names the VANTREL_SIGN_* variables): when a key is set, the
# program and every DLL of the deployable folder are signed before makensis packs them (and its .zip is
# made again from the signed folder), makensis signs the uninstaller it embeds and then the setup;
# without a key it says "unsigned" and builds all of it unsigned.
# Other inputs and outputs, for packaging a folder other than the build's:
#   VANTREL_DEPLOY_FOLDER  a deployable folder to pack as it is, with its list <folder>.files.nsh beside
#                          it; no deploy step runs
#   VANTREL_SETUP_OUT      the setup file to write (default dist/VantrelDetectInstallToolSetup.exe)
#   VANTREL_SETUP_VERSION  the version the setup installs under (default the build's)
#   VANTREL_SETUP_COMPRESSOR  NSIS's compressor (default "/SOLID lzma", the smallest setup; zlib is about
#                          five times faster, for setups made only to be installed by a check)
set -euo pipefail
# Paths given relative to the caller's folder stay valid after the change to the project's folder.
for variable in VANTREL_SIGN_PKCS12 VANTREL_SIGN_PKCS11_MODULE VANTREL_SIGN_CERT VANTREL_SIGN_PASSWORD_FILE \
    VANTREL_DEPLOY_FOLDER VANTREL_SETUP_OUT; do
    value=${!variable:-}
    [ -z "$value" ] || [[ "$value" == /* ]] || export "$variable=$PWD/$value"
done
cd "$(dirname "$0")/.."
build_dir=${1:-build-win}
version=${VANTREL_SETUP_VERSION:-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")}
if [ -n "${VANTREL_DEPLOY_FOLDER:-}" ]; then
    dist=$(cd "$VANTREL_DEPLOY_FOLDER" && pwd)
    [ -f "$dist.files.nsh" ] || { echo "No $dist.files.nsh beside the deployable folder." >&2; exit 1; }
else
    scripts/deploy-windows.sh "$build_dir" >/dev/null
    dist=$PWD/dist/VantrelDetectInstallTool-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' \
        "$build_dir/CMakeCache.txt")-win64
fi
setup=${VANTREL_SETUP_OUT:-$PWD/dist/VantrelDetectInstallToolSetup.exe}
mkdir -p "$(dirname "$setup")"
setup=$(cd "$(dirname "$setup")" && pwd)/$(basename "$setup")

scripts/sign-windows.sh "$dist"
sign=()
if [ -n "${VANTREL_SIGN_PKCS12:-}${VANTREL_SIGN_PKCS11_MODULE:-}" ]; then
    sign=(-DSIGN="$PWD/scripts/sign-windows.sh")
    if [ -f "$dist.zip" ]; then
        (cd "$(dirname "$dist")" && rm -f "$dist.zip" && zip -qr "$dist.zip" "$(basename "$dist")")
    fi
fi
compressor=()
[ -z "${VANTREL_SETUP_COMPRESSOR:-}" ] || compressor=(-DCOMPRESSOR="$VANTREL_SETUP_COMPRESSOR")
makensis -V2 -DVERSION="$version" -DDIST="$dist" -DFILES="$dist.files.nsh" -DOUTFILE="$setup" "${sign[@]}" \
    "${compressor[@]}" packaging/windows/VantrelDetectInstallTool.nsi
echo "$setup ($(du -h "$setup" | cut -f1))"
