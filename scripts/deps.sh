#!/usr/bin/env bash
# Installs the build and test dependencies on Debian/Ubuntu when any of them is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5websockets5-dev qt5-image-formats-plugins
    qt6-base-dev qt6-base-dev-tools qt6-websockets-dev
    fonts-wqy-microhei openssl xvfb xauth x11-apps imagemagick procps iproute2
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 nsis zip wixl msitools
    osslsigncode softhsm2 libengine-pkcs11-openssl
    clang libclang-rt-14-dev
    chromium firefox-esr libnss3-tools
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
