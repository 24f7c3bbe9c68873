#!/usr/bin/env bash
# Checks the installer as a user meets it, under Wine in a fresh temporary prefix and on a virtual
# display: a silent install into a folder outside the program files folder is refused (exit code 2,
# nothing written); silent install; the program found by its own uninstall entry; the installed program,
# started with nothing else on the search path, listens on its three ports, shows its home window
# (a screenshot goes to BUILD_DIR/installed-home.png) and hands a start command that arrives over
# wss to a sample tool .exe byte for byte; then a silent uninstall with the program running ends it
# and leaves nothing behind but the user's first-run flag. Installed again, with files of others
# (a DLL among them) added to its folder and its plugin folders, the uninstaller deletes exactly the
# files it installed, and of the folders only those left empty: the others' files stay. Last, an update:
# a setup of an earlier version with a file the current one does not ship is installed, the user's Run
# value set, and the current setup installed over it: the earlier version's file is gone, the Run value
# and the others' files stay, and one uninstall entry names the current version.
#   scripts/check-windows-installer.sh [BUILD_DIR]   (after scripts/make-installer.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$(cd "${1:-build-win}" && pwd)
setup=$PWD/dist/VantrelDetectInstallToolSetup.exe
[ -f "$setup" ] || { echo "No $setup: run scripts/make-installer.sh first." >&2; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")

work=$(mktemp -d -t vantrel-installer.XXXXXX)
# Wine links Documents and Desktop to the home folder: a home of the check's own keeps the first-run
# flag from the user's; shortcuts make no menu entries on the Linux desktop (winemenubuilder).
mkdir -p "$work/home"
export HOME=$work/home WINEPREFIX=$work/prefix WINEDEBUG=-all
display=:$((90 + RANDOM % 100))
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
. scripts/check-common.sh
reg_value() { wine reg query "$1" /v "$2" /reg:64 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
program_ended() { ! pgrep -f '[V]antrelDetectInstallTool.exe' >/dev/null; }
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

step "fresh prefix and virtual display $display"
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
# Wine's desktop takes the display it starts with: every Wine process of the check runs on it, so the
# display must be up before Wine boots.
within 20 test -S "/tmp/.X11-unix/X${display#:}" || fail "Xvfb did not start on $display"
export DISPLAY=$display
# A fresh prefix's first boot has failed once in CI without a word (exit 53); say what it said and try again.
boot_prefix() { wineboot -i >"$work/wineboot.log" 2>&1; }
boot_status=0
boot_prefix || boot_status=$?
if ((boot_status)); then
    echo "wineboot failed (exit $boot_status); its last words:" && tail -5 "$work/wineboot.log"
    wineserver -k 2>/dev/null || true
    boot_prefix || fail "wineboot could not make the prefix twice"
fi

key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VantrelDetectInstallTool'
step "a silent install outside the program files folder is refused"
status=0
wine "$setup" /S '/D=C:\Tools' || status=$?
[ "$status" = 2 ] || fail "the installer into C:\Tools ended with exit code $status, not 2"
[ ! -e "$WINEPREFIX/drive_c/Tools" ] || fail "the refused installer wrote into C:\Tools: $(ls -R "$WINEPREFIX/drive_c/Tools")"
! wine reg query "$key" /reg:64 >/dev/null 2>&1 || fail "the refused installer wrote an uninstall entry"

step "silent install"
wine "$setup" /S
app_dir="$WINEPREFIX/drive_c/Program Files/VantrelDetectInstallTool"
within 30 test -f "$app_dir/uninstall.exe" || fail "the installer wrote no uninstaller"
for file in VantrelDetectInstallTool.exe Qt5Core.dll platforms/qwindows.dll libssl-3-x64.dll libcrypto-3-x64.dll \
    libstdc++-6.dll; do
    [ -f "$app_dir/$file" ] || fail "$file not installed"
done
[ ! -e "$app_dir/bearer" ] || fail "a bearer plugin was installed"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tessary检测安装工具.lnk"
[ -f "$shortcut" ] || fail "no Start-menu shortcut"
# (reg.exe prints Chinese in the console code page; the display name is checked by the suite below)
[ "$(reg_value "$key" DisplayVersion)" = "$version" ] || fail "uninstall entry: DisplayVersion"
install_location=$(reg_value "$key" InstallLocation)
[ "$install_location" = 'C:\Program Files\VantrelDetectInstallTool' ] || fail "InstallLocation $install_location"
[ "$(reg_value "$key" DisplayIcon)" = "$install_location\\VantrelDetectInstallTool.exe,0" ] || fail "DisplayIcon"
[ "$(reg_value "$key" UninstallString)" = "\"$install_location\\uninstall.exe\"" ] || fail "UninstallString"

step "the program finds itself by its uninstall entry, under its Chinese display name"
VANTREL_INSTALLED_FOLDER=$install_location scripts/wine-run.sh "$build_dir/tests/tst_windows.exe" \
    installedProgram_isFoundByItsUninstallEntry | grep -E "^(PASS|FAIL|SKIP|Totals)"

step "a sample tool installed beside, and a version service for the network check"
install_sample_tool "$build_dir" "$app_dir"
mkdir -p "$work/static"
cp demo/probe.html "$work/static/"
scripts/wine-run.sh "$build_dir/tools/version-service.exe" --port 18099 --components demo/components.json \
    --static "$(windows_path "$work/static")" >"$work/service.log" 2>&1 &
pids+=($!)
within 30 listening 18099 || fail "the version service did not start"

step "the installed program starts with nothing else on its path"
record=$work/frames.txt
: >"$record"
(
    unset WINEPATH QT_PLUGIN_PATH
    VANTREL_PROBE_URL=http://127.0.0.1:18099/demo/probe.html \
        VANTREL_VERSION_SERVICE_URL=http://127.0.0.1:18099 VANTREL_SAMPLE_RECORD=$(windows_path "$record") \
        exec wine "C:\\Program Files\\VantrelDetectInstallTool\\VantrelDetectInstallTool.exe"
) >"$work/program.log" 2>&1 &
pids+=($!)
for port in 12345 51868 51869; do
    within 30 listening $port || fail "nothing listens on port $port"
done
sleep 3
import -window root "$build_dir/installed-home.png"
echo "screenshot: $build_dir/installed-home.png"

step "a start command over wss reaches the sample tool byte for byte"
message='{"VantrelUseScene":"00","operationCommand":"startTool","documentId":"签章-42","note":"a \"quoted\" value"}'
scripts/wine-run.sh "$build_dir/tools/ws_send.exe" wss://localhost:51869 "$message" \
    --ca "$(windows_path "$PWD/resources/dev-root-ca.pem")"
within 60 grep -q . "$record" || fail "the sample tool received nothing"
[ "$(cat "$record")" = "$message" ] || fail "the tool received: $(cat "$record")"

step "silent uninstall while the program runs"
wine "$app_dir/uninstall.exe" /S
within 60 test ! -e "$app_dir" || fail "the program folder is still there: $(ls -R "$app_dir")"
within 20 program_ended || fail "the program still runs: $(cat "$work/program.log")"
[ ! -e "$shortcut" ] || fail "the shortcut is still there"
! wine reg query "$key" /reg:64 >/dev/null 2>&1 || fail "the uninstall entry is still there"
[ -z "$(reg_value 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' VantrelDetectInstallTool)" ] ||
    fail "the Run value is still there"
[ -f "$WINEPREFIX/drive_c/users/$(id -un)/Documents/VantrelDetectInstallTool/startup.flag" ] ||
    fail "the user's first-run flag was removed"

step "installed again, with files of others beside its own: the uninstaller deletes exactly its own"
wine "$setup" /S
within 30 test -f "$app_dir/uninstall.exe" || fail "the installer wrote no uninstaller"
others=(LICENSE.other.txt other.dll other.txt imageformats/qother.dll platforms/qother.dll styles/other.txt)
for file in "${others[@]}"; do echo "not the installer's" >"$app_dir/$file"; done
wine "$app_dir/uninstall.exe" /S
left() { (cd "$app_dir" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort); }
only_others_left() { [ "$(left)" = "$(printf '%s\n' "${others[@]}" imageformats platforms styles | LC_ALL=C sort)" ]; }
within 60 only_others_left || fail "left in the program folder: $(left | tr '\n' ' ')"
! wine reg query "$key" /reg:64 >/dev/null 2>&1 || fail "the uninstall entry is still there"

step "an update over an earlier version deletes what the earlier shipped, keeps the Run value and others' files"
earlier=$work/earlier/VantrelDetectInstallTool-0.9.0-win64
mkdir -p "$work/earlier"
cp -a "dist/VantrelDetectInstallTool-$version-win64" "$earlier"
echo "shipped by 0.9.0 only" >"$earlier/obsolete.txt"
awk '/^!macroend/ && ++n == 1 { print "    SetOutPath \"$INSTDIR\""; print "    File \"${DIST}\\obsolete.txt\"" }
    /^!macroend/ && n == 2 { print "    Delete \"$INSTDIR\\obsolete.txt\"" } { print }' \
    "dist/VantrelDetectInstallTool-$version-win64.files.nsh" >"$earlier.files.nsh"
VANTREL_DEPLOY_FOLDER=$earlier VANTREL_SETUP_OUT=$work/earlier/VantrelDetectInstallToolSetup.exe \
    VANTREL_SETUP_VERSION=0.9.0 VANTREL_SETUP_COMPRESSOR=zlib scripts/make-installer.sh "$build_dir" >/dev/null
wine "$work/earlier/VantrelDetectInstallToolSetup.exe" /S
within 30 test -f "$app_dir/obsolete.txt" || fail "the earlier version did not install"
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
run_value="\"$install_location\\VantrelDetectInstallTool.exe\""
wine reg add "$run_key" /v VantrelDetectInstallTool /d "$run_value" /f >/dev/null
wine "$setup" /S
updated() { [ "$(reg_value "$key" DisplayVersion)" = "$version" ] && [ ! -e "$app_dir/obsolete.txt" ]; }
within 60 updated || fail "after the update: version $(reg_value "$key" DisplayVersion), $(ls "$app_dir" | tr '\n' ' ')"
[ -f "$app_dir/VantrelDetectInstallTool.exe" ] && [ -f "$app_dir/uninstall.exe" ] || fail "the program is not there"
entries=$(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 | tr -d '\r' |
    grep -c 'InstallLocation .*\\VantrelDetectInstallTool$' || true)
[ "$entries" = 1 ] || fail "$entries uninstall entries after the update"
[ "$(reg_value "$run_key" VantrelDetectInstallTool)" = "$run_value" ] || fail "the update lost the Run value"
for file in "${others[@]}"; do [ -f "$app_dir/$file" ] || fail "the update deleted $file, not the installer's"; done
echo "Installer check passed."
