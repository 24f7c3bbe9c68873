#!/usr/bin/env bash
# Gathers what the Windows program needs at run time into dist/VantrelDetectInstallTool-<version>-win64/
# and zips it: scripts/deploy-windows.sh [BUILD_DIR] (default build-win, made by build-windows.sh).
# Beside the folder it writes <folder>.files.nsh, the list of its files as an NSIS include: the installer
# installs exactly these files, and its uninstaller deletes exactly these, then each folder once empty.
#
# The DLLs are found by reading import tables (objdump -p), recursively, from the program, the
# plugins and the OpenSSL DLLs (which Qt loads at run time, so no import table names them). A DLL
# that is neither in the Qt, OpenSSL or MinGW folders nor a part of Windows fails the script.
# Qt's bearer plugins are left out on purpose: their polling of the network interfaces stalls
# programs that use QNetworkAccessManager on Windows, and the program needs none of them.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-win}
qt=${VANTREL_MINGW_QT:-$(cd .. && pwd)/shared/mingw-qt}
objdump=x86_64-w64-mingw32-objdump
compiler=x86_64-w64-mingw32-g++-posix

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
[ -n "$version" ] || { echo "No version in $build_dir/CMakeCache.txt: build first." >&2; exit 1; }
name=VantrelDetectInstallTool-$version-win64
target=dist/$name
file_list=dist/$name.files.nsh
rm -rf "$target" "dist/$name.zip" "$file_list"
mkdir -p "$target"

search_dirs=("$qt/bin" "$qt/openssl/bin" "$(dirname "$("$compiler" -print-file-name=libstdc++-6.dll)")"
    "$(dirname "$("$compiler" -print-file-name=libwinpthread-1.dll)")")
# DLLs that every Windows (7 SP1 and later) has; they are never shipped.
system_dlls=(advapi32.dll authz.dll bcrypt.dll comctl32.dll comdlg32.dll crypt32.dll d3d9.dll d3d11.dll
    dwmapi.dll dwrite.dll dxgi.dll gdi32.dll imm32.dll iphlpapi.dll kernel32.dll mpr.dll msvcrt.dll
    netapi32.dll ole32.dll oleaut32.dll secur32.dll setupapi.dll shell32.dll shlwapi.dll user32.dll
    userenv.dll uxtheme.dll version.dll winmm.dll wtsapi32.dll ws2_32.dll dnsapi.dll wininet.dll
    winspool.drv ntdll.dll psapi.dll rpcrt4.dll)
is_system_dll() { [[ " ${system_dlls[*]} " == *" $1 "* || "$1" == api-ms-win-* ]]; }

copy_with_imports() { # file, folder in the target
    local file=$1 folder=$2
    mkdir -p "$target/$folder"
    cp "$file" "$target/$folder/"
    local dll
    for dll in $("$objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p'); do
        local lower=${dll,,}
        is_system_dll "$lower" && continue
        [ -e "$target/$dll" ] && continue
        local found=""
        for dir in "${search_dirs[@]}"; do
            [ -f "$dir/$dll" ] && { found="$dir/$dll"; break; }
        done
        if [ -z "$found" ]; then
            echo "Missing DLL: $dll, needed by $(basename "$file")" >&2
            exit 1
        fi
        copy_with_imports "$found" .
    done
}

copy_with_imports "$build_dir/VantrelDetectInstallTool.exe" .
copy_with_imports "$qt/plugins/platforms/qwindows.dll" platforms
copy_with_imports "$qt/plugins/styles/qwindowsvistastyle.dll" styles
copy_with_imports "$qt/plugins/imageformats/qico.dll" imageformats # the tray icon is an .ico
copy_with_imports "$qt/openssl/bin/libssl-3-x64.dll" .
copy_with_imports "$qt/openssl/bin/libcrypto-3-x64.dll" .
cp "$qt/LICENSE.LGPL3" "$target/"
[ -f "$qt/openssl/LICENSE.txt" ] && cp "$qt/openssl/LICENSE.txt" "$target/LICENSE.OpenSSL.txt"
# The copies are the user's files (the sources may be read-only); the MinGW runtime DLLs come with
# their symbols, which users do not need.
chmod -R u+w "$target"
find "$target" \( -name '*.dll' -o -name '*.exe' \) -exec x86_64-w64-mingw32-strip --strip-unneeded {} +

(cd dist && zip -qr "$name.zip" "$name")

# The list, with paths relative to the folder in Windows' form. Names that NSIS would read as variables
# or quotes never occur; refuse them rather than write a list that names something else.
files=$(cd "$target" && find . -type f | sed 's|^\./||' | awk -F/ '{ print NF "\t" $0 }' |
    LC_ALL=C sort -k1,1n -k2,2 | cut -f2-) # the folder's own files first, then each subfolder's
folders=$(cd "$target" && find . -mindepth 1 -type d | sed 's|^\./||' | LC_ALL=C sort -r) # deepest first
if grep -v '^[A-Za-z0-9._+/-]*$' <<<"$files"; then
    echo "Unexpected file names (above) in $target" >&2
    exit 1
fi
windows() { printf '%s' "${1//\//\\}"; }
{
    echo "; The files of $name (scripts/deploy-windows.sh), installed and uninstalled one by one."
    echo '!macro INSTALL_FILES'
    previous=
    while read -r path; do
        folder=$(dirname "$path")
        if [ "$folder" != "$previous" ]; then
            if [ "$folder" = . ]; then
                echo '    SetOutPath "$INSTDIR"'
            else
                echo "    SetOutPath \"\$INSTDIR\\$(windows "$folder")\""
            fi
            previous=$folder
        fi
        echo "    File \"\${DIST}\\$(windows "$path")\""
    done <<<"$files"
    echo '!macroend'
    echo '!macro DELETE_FILES'
    while read -r path; do
        echo "    Delete \"\$INSTDIR\\$(windows "$path")\""
    done <<<"$files"
    echo '!macroend'
    echo '!macro REMOVE_EMPTY_FOLDERS'
    for folder in $folders; do
        echo "    RMDir \"\$INSTDIR\\$(windows "$folder")\""
    done
    echo '!macroend'
} >"$file_list"
echo "$target ($(du -sh "$target" | cut -f1)), dist/$name.zip ($(du -h "dist/$name.zip" | cut -f1)), $file_list"
echo "$files"
