#!/usr/bin/env bash
# Builds the MSI package of the Windows program, dist/VantrelDetectInstallTool-<version>-win64.msi, from the
# deployable folder and the list of its files that the deploy step writes for the NSIS setup (so both
# install exactly the same files): scripts/make-msi.sh [BUILD_DIR] (default build-win).
# packaging/windows/VantrelDetectInstallTool.wxs says what the package does and which properties it takes.
#
# Tools: wixl and msiinfo (msitools), the MinGW C compiler for the package's custom actions
# (packaging/windows/msi-actions.c) and for msi-text.exe (packaging/windows/msi-text.c), and Wine, which
# runs msi-text.exe to write through Windows Installer's own msi.dll what wixl 0.101 cannot: the Chinese
# texts (wixl stores none, and crashes on "Tessary检测安装工具"), the components' conditions, the upper
# bound of the upgrade range (and public properties added to SecureCustomProperties, where the package
# names any). Wine runs in a temporary prefix, or in
# WINEPREFIX when that is set (it only opens the package there).
#
# Signing (scripts/sign-windows.sh, which names the VANTREL_SIGN_* variables), where that script is: the
# program and every DLL of the deployable folder and the custom actions' DLL are signed before wixl packs
# them (and the folder's .zip is made again from the signed folder), the package once written. Without a
# key it says "unsigned" and all of it stays unsigned.
# Other inputs and outputs:
#   VANTREL_PACKAGE_VERSION  the version the package installs under, major.minor.build (at most
#                            255.255.65535; an upgrade compares these three), default the build's; it
#                            names the file too
#   VANTREL_DEPLOY_FOLDER    a deployable folder to pack as it is, with its list <folder>.files.nsh beside
#                            it; no deploy step runs
#   VANTREL_MSI_OUT          the package to write (default dist/VantrelDetectInstallTool-<version>-win64.msi)
set -euo pipefail
# Paths given relative to the caller's folder stay valid after the change to the project's folder.
for variable in VANTREL_SIGN_PKCS12 VANTREL_SIGN_PKCS11_MODULE VANTREL_SIGN_CERT VANTREL_SIGN_PASSWORD_FILE \
    VANTREL_DEPLOY_FOLDER VANTREL_MSI_OUT WINEPREFIX; do
    value=${!variable:-}
    [ -z "$value" ] || [[ "$value" == /* ]] || export "$variable=$PWD/$value"
done
cd "$(dirname "$0")/.."
fail() { echo "make-msi.sh: $*" >&2; exit 1; }
build_dir=${1:-build-win}
build_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt" 2>/dev/null || true)
[ -n "$build_version" ] || fail "no version in $build_dir/CMakeCache.txt: build first"
version=${VANTREL_PACKAGE_VERSION:-$build_version}
IFS=. read -r major minor build <<<"$version"
[[ "$version" =~ ^[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,5}$ ]] && ((10#$major <= 255 && 10#$minor <= 255 &&
    10#$build <= 65535)) ||
    fail "version $version: an MSI takes major.minor.build, at most 255.255.65535"
for tool in wixl msiinfo x86_64-w64-mingw32-gcc-posix wine; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/deps.sh)"
done

if [ -n "${VANTREL_DEPLOY_FOLDER:-}" ]; then
    dist=$(cd "$VANTREL_DEPLOY_FOLDER" && pwd)
else
    scripts/deploy-windows.sh "$build_dir" >/dev/null
    dist=$PWD/dist/VantrelDetectInstallTool-$build_version-win64
fi
[ -f "$dist.files.nsh" ] || fail "no $dist.files.nsh beside the deployable folder"
out=${VANTREL_MSI_OUT:-$PWD/dist/VantrelDetectInstallTool-$version-win64.msi}
mkdir -p "$(dirname "$out")"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")

work=$(mktemp -d -t vantrel-msi.XXXXXX)
own_prefix=
cleanup() {
    [ -z "$own_prefix" ] || WINEPREFIX=$own_prefix timeout 30 wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The browser policies take this many origins; SplitOrigins fills ORIGIN1..n and HOST1..n.
browser_origins=8
compile() { x86_64-w64-mingw32-gcc-posix -O2 -Wall -Wextra -static-libgcc "$@"; }
compile -shared -DMAX_ORIGINS=$browser_origins -o "$work/VantrelMsiActions.dll" packaging/windows/msi-actions.c \
    -lmsi -lshell32 -lole32 -ladvapi32
compile -municode -o "$work/msi-text.exe" packaging/windows/msi-text.c -lmsi

if [ -x scripts/sign-windows.sh ]; then
    scripts/sign-windows.sh "$dist" "$work/VantrelMsiActions.dll"
    if [ -n "${VANTREL_SIGN_PKCS12:-}${VANTREL_SIGN_PKCS11_MODULE:-}" ] && [ -f "$dist.zip" ]; then
        (cd "$(dirname "$dist")" && rm -f "$dist.zip" && zip -qr "$dist.zip" "$(basename "$dist")")
    fi
fi

# The program's files, from the NSIS list's File lines: a component each, its file the key path. wixl
# takes the sources' paths relative to the .wxs only, so the folder is linked in beside it.
ln -s "$dist" "$work/program"
files=$(sed -n 's/^[[:space:]]*File "\${DIST}\\\(.*\)"[[:space:]]*$/\1/p' "$dist.files.nsh" | tr '\\' '/')
[ -n "$files" ] || fail "no File lines in $dist.files.nsh"
if grep -v '^[A-Za-z0-9._+/-]*$' <<<"$files"; then fail "unexpected file names (above) in $dist.files.nsh"; fi
identifier() { # File_/Dir_ and the path, in the letters an MSI identifier may have
    local id=$1${2//[\/+-]/_}
    ((${#id} <= 72)) || fail "identifier too long for $2"
    printf '%s' "$id"
}
{
    echo '<?xml version="1.0" encoding="utf-8"?>'
    echo "<!-- The files of $(basename "$dist"), written by scripts/make-msi.sh from $(basename "$dist").files.nsh -->"
    echo '<Include><Fragment>'
    folders=$(while read -r path; do
        folder=$(dirname "$path")
        while [ "$folder" != . ]; do echo "$folder"; folder=$(dirname "$folder"); done
    done <<<"$files" | LC_ALL=C sort -u)
    while read -r folder; do # parents before their subfolders
        [ -n "$folder" ] || continue
        parent=$(dirname "$folder")
        [ "$parent" = . ] && parent_id=INSTALLDIR || parent_id=$(identifier Dir_ "$parent")
        echo "  <DirectoryRef Id=\"$parent_id\"><Directory Id=\"$(identifier Dir_ "$folder")\" Name=\"$(basename "$folder")\"/></DirectoryRef>"
    done <<<"$folders"
    while read -r path; do
        [ -f "$dist/$path" ] || fail "$dist/$path, named in the list, is missing"
        folder=$(dirname "$path")
        [ "$folder" = . ] && folder_id=INSTALLDIR || folder_id=$(identifier Dir_ "$folder")
        id=$(identifier File_ "$path")
        echo "  <DirectoryRef Id=\"$folder_id\"><Component Id=\"$id\" Guid=\"*\" Win64=\"yes\">"
        echo "    <File Id=\"$id\" Name=\"$(basename "$path")\" Source=\"program/$path\" KeyPath=\"yes\"/>"
        echo '  </Component></DirectoryRef>'
    done <<<"$files"
    echo '  <ComponentGroup Id="ProgramFiles">'
    while read -r path; do echo "    <ComponentRef Id=\"$(identifier File_ "$path")\"/>"; done <<<"$files"
    echo '  </ComponentGroup>'
    echo '</Fragment></Include>'
} >"$work/VantrelDetectInstallTool.files.wxi"
ids=$(grep -o 'Component Id="[^"]*"' "$work/VantrelDetectInstallTool.files.wxi")
[ -z "$(sort <<<"$ids" | uniq -d)" ] || fail "two files with one identifier: $(sort <<<"$ids" | uniq -d)"

# The browser policy components: value <n> of each list, on BROWSERPOLICY = "1" and the n-th origin.
lists=('SOFTWARE\Policies\Google\Chrome\LoopbackNetworkAllowedForUrls' # Chrome 146 and later
    'SOFTWARE\Policies\Google\Chrome\LocalNetworkAccessAllowedForUrls'   # the name before
    'SOFTWARE\Policies\Microsoft\Edge\LoopbackNetworkAllowedForUrls'
    'SOFTWARE\Policies\Microsoft\Edge\LocalNetworkAccessAllowedForUrls')
{
    echo '<?xml version="1.0" encoding="utf-8"?>'
    echo '<!-- The browser policy components, written by scripts/make-msi.sh -->'
    echo '<Include><Fragment>'
    echo '  <DirectoryRef Id="INSTALLDIR">'
    for ((n = 1; n <= browser_origins; n++)); do
        printf '    <Component Id="BrowserPolicy%d" Guid="5D1E7A30-6C2B-4E8F-9A41-7B3C2D0E81%02X" Win64="yes">\n' $n $n
        echo "      <Condition>BROWSERPOLICY = \"1\" AND ORIGIN$n</Condition>"
        keypath=' KeyPath="yes"'
        for list in "${lists[@]}"; do
            echo "      <RegistryValue Root=\"HKLM\" Key=\"$list\" Name=\"$n\" Type=\"string\" Value=\"[ORIGIN$n]\"$keypath/>"
            keypath=
        done
        echo "      <RegistryValue Root=\"HKLM\" Key=\"SOFTWARE\\Policies\\Mozilla\\Firefox\\LocalNetworkAccess\\SkipDomains\" Name=\"$n\" Type=\"string\" Value=\"[HOST$n]\"/>"
        echo '    </Component>'
    done
    echo '  </DirectoryRef>'
    echo '  <ComponentGroup Id="BrowserPolicy">'
    for ((n = 1; n <= browser_origins; n++)); do echo "    <ComponentRef Id=\"BrowserPolicy$n\"/>"; done
    echo '  </ComponentGroup>'
    echo '</Fragment></Include>'
} >"$work/browser-policy.wxi.in"

# What wixl cannot write is taken out of its copy of the sources, into the changes for msi-text.exe (texts
# and conditions) and into notes for after wixl (upgrade bounds, secure properties).
for_wixl() { # source, copy, stand-in prefix
    LC_ALL=C awk -v changes="$work/changes.txt" -v notes="$work/notes.txt" -v prefix="$3" '
        function unescape(s) {
            gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s); gsub(/&apos;/, "'\''", s)
            gsub(/&amp;/, "\\&", s)
            return s
        }
        function literal(s) { # MSI SQL has no way to write a quotation mark in a text
            if (index(s, "'\''")) { print FILENAME ":" FNR ": no '\'' can go into SQL" > "/dev/stderr"; exit 1 }
            return "'\''" s "'\''"
        }
        /<Component[ \t>]/ && match($0, /Id="[^"]*"/) { component = substr($0, RSTART + 4, RLENGTH - 5) }
        /^[ \t]*<Condition>/ && !/^[ \t]*<Condition>.*<\/Condition>[ \t]*$/ {
            print FILENAME ":" FNR ": a component condition goes on a line of its own" > "/dev/stderr"; exit 1
        }
        /^[ \t]*<Condition>.*<\/Condition>[ \t]*$/ {
            condition = $0
            sub(/^[ \t]*<Condition>/, "", condition)
            sub(/<\/Condition>[ \t]*$/, "", condition)
            condition = literal(unescape(condition))
            print "sql\tUPDATE `Component` SET `Condition` = " condition " WHERE `Component` = " literal(component) >> changes
            print "expect\tSELECT `Component` FROM `Component` WHERE `Component` = " literal(component) \
                " AND `Condition` = " condition >> changes
            next
        }
        /<Property Id="SecureCustomProperties"/ {
            if (!match($0, /Value="[^"]*"/) || $0 !~ /\/>/) {
                print FILENAME ":" FNR ": SecureCustomProperties goes on a line of its own" > "/dev/stderr"; exit 1
            }
            print "secure\t" substr($0, RSTART + 7, RLENGTH - 8) >> notes
            next
        }
        /<UpgradeVersion/ { upgrade = ""; in_upgrade = 1 }
        in_upgrade {
            upgrade = upgrade " " $0
            if ($0 ~ /\/>/) {
                in_upgrade = 0
                if (upgrade ~ /IncludeMaximum="yes"/ && match(upgrade, /Property="[^"]*"/))
                    print "include-maximum\t" substr(upgrade, RSTART + 10, RLENGTH - 11) >> notes
            }
        }
        {
            line = $0
            copy = ""
            while (match(line, /="[^"]*[\200-\377][^"]*"/)) {
                standin = sprintf("%s%03d", prefix, ++count)
                print "text\t" standin "\t" unescape(substr(line, RSTART + 2, RLENGTH - 3)) >> changes
                copy = copy substr(line, 1, RSTART - 1) "=\"" standin "\""
                line = substr(line, RSTART + RLENGTH)
            }
            print copy line
        }' "$1" >"$2"
}
: >"$work/changes.txt"
: >"$work/notes.txt"
for_wixl packaging/windows/VantrelDetectInstallTool.wxs "$work/VantrelDetectInstallTool.wxs" VantrelText
for_wixl "$work/browser-policy.wxi.in" "$work/browser-policy.wxi" VantrelPolicyText

wixl -a x64 -D Version="$version" -D ActionsDll=VantrelMsiActions.dll -I "$work" \
    -o "$work/package.msi" "$work/VantrelDetectInstallTool.wxs"

table() { msiinfo export "$work/package.msi" "$1" | tail -n +4 | tr -d '\r'; }
while IFS=$'\t' read -r kind value; do
    case $kind in
    include-maximum) # wixl leaves out IncludeMaximum (512); the attributes belong to the row's key
        row=$(table Upgrade | awk -F'\t' -v property="$value" '$7 == property && $4 $6 == "" { print $1, $2, $3, $5 }')
        read -r code minimum maximum attributes <<<"$row"
        [ -n "$attributes" ] || fail "no Upgrade row for $value without a language or features to remove"
        printf 'sql\tDELETE FROM `Upgrade` WHERE `ActionProperty` = '\''%s'\''\n' "$value"
        printf 'sql\tINSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, `Attributes`, `ActionProperty`)'
        printf ' VALUES ('\''%s'\'', '\''%s'\'', '\''%s'\'', %d, '\''%s'\'')\n' "$code" "$minimum" "$maximum" \
            $((attributes | 512)) "$value"
        printf 'expect\tSELECT * FROM `Upgrade` WHERE `ActionProperty` = '\''%s'\'' AND `Attributes` = %d\n' \
            "$value" $((attributes | 512))
        ;;
    secure) # wixl writes its own list (the upgrade properties); ours go after them
        current=$(table Property | awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }')
        printf 'sql\tUPDATE `Property` SET `Value` = '\''%s'\'' WHERE `Property` = '\''SecureCustomProperties'\''\n' \
            "${current:+$current;}$value"
        ;;
    esac
done <"$work/notes.txt" >>"$work/changes.txt"

windows_path() { printf 'Z:%s' "${1//\//\\}"; }
if [ -z "${WINEPREFIX:-}" ]; then
    # A prefix for this run: no Mono or Gecko set-up, no menu entries on the Linux desktop.
    own_prefix=$work/prefix
    export WINEPREFIX=$own_prefix WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree,mshtml='
    WINEDEBUG=-all timeout 300 wineboot -i >"$work/wineboot.log" 2>&1 ||
        { tail -5 "$work/wineboot.log" >&2; fail "wineboot could not make a prefix"; }
fi
WINEDEBUG=-all timeout 120 wine "$work/msi-text.exe" "$(windows_path "$work/package.msi")" 936 \
    "$(windows_path "$work/changes.txt")" >"$work/msi-text.log" 2>&1 ||
    { cat "$work/msi-text.log" >&2; fail "msi-text.exe could not finish the package"; }
# Read back by msitools, which knows the code page: the texts as the source has them.
[ "$(table Property | awk -F'\t' '$1 == "ProductName" { print $2 }')" = "Tessary检测安装工具" ] ||
    fail "the product name did not come out as Tessary检测安装工具"
grep -q $'\tDisplayName\tTessary检测安装工具\t' <<<"$(table Registry)" || fail "DisplayName did not come out right"

[ ! -x scripts/sign-windows.sh ] || scripts/sign-windows.sh "$work/package.msi"
mv "$work/package.msi" "$out"
echo "$out ($(du -h "$out" | cut -f1))"
