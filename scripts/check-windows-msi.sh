#!/usr/bin/env bash
# Checks the MSI package as an organisation deploys it, silently (msiexec /qn), under Wine in a fresh
# temporary prefix and on a virtual display:
# - an INSTALLDIR outside the program files folder is refused, and so is an install over one made by
#   the NSIS setup: exit code 1603, nothing written;
# - the package lets no public property of the policy pass from a standard user's command line
#   (SecureCustomProperties holds the upgrade properties only);
# - an install with an allow-list of origins (one no http or https origin, one IPv6, others the same
#   origin written otherwise: upper case, the default port, a port with leading zeros), the browser
#   policies and the version service's and probe's addresses: every file of the deploy step's list, the
#   Start-menu shortcut, the program's uninstall entry value by value (the Chinese name read back
#   exactly, and by the program itself), the MSI's own entry hidden, the machine policy values, and the
#   browser policy lists holding the three valid origins, each once, normalised (Firefox: their host
#   names); the installer's log names the IPv6 origin as given;
# - over it, the NSIS setup (dist/VantrelDetectInstallToolSetup.exe /S) is refused with exit code 2 and
#   changes nothing; a removal with INSTALLDIR=C:\users\Public\x\ is refused and runs no
#   VantrelDetectInstallTool.exe planted there;
# - the installed program, started with nothing else on its search path and the policy as its only
#   setting, closes a WebSocket of a page of another origin with 1008 and hands nothing of it on, and
#   hands a start command of the allowed portal to a sample tool byte for byte;
# - a removal while the program runs ends it and leaves nothing of the package's behind (files, entry,
#   shortcut, policy values, browser policy values, the user's Run value) but the user's first-run flag;
# - an upgrade: an earlier package (version 0.9.0, with a file the current one does not ship) installed
#   with an allow-list and policy values beginning with '#' (written as strings, not as a DWORD or binary
#   value), the user's Run value set, the current package installed over it without any property: one
#   entry naming the current version, the earlier file gone, the Run value, the first-run flag and the
#   policy values kept as strings; the earlier package is then refused as a downgrade; a last removal.
#   scripts/check-windows-msi.sh [BUILD_DIR]   (after scripts/make-msi.sh and scripts/make-installer.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$(cd "${1:-build-win}" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
name=VantrelDetectInstallTool-$version-win64
msi=$PWD/dist/$name.msi
[ -f "$msi" ] || { echo "No $msi: run scripts/make-msi.sh first." >&2; exit 1; }
setup=$PWD/dist/VantrelDetectInstallToolSetup.exe
[ -f "$setup" ] || { echo "No $setup: run scripts/make-installer.sh first." >&2; exit 1; }

work=$(mktemp -d -t vantrel-msi-check.XXXXXX)
# Wine links the user's Documents and Desktop to the home folder: a home of the check's own keeps the
# first-run flag from the user's (and from other tests at the same time). Shortcuts make no menu entries
# on the Linux desktop (winemenubuilder); the prefix gets no Mono or Gecko.
mkdir "$work/home"
export HOME=$work/home WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree,mshtml='
display=:$((90 + RANDOM % 100))
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    timeout 30 wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
. scripts/check-common.sh
wine_reg() { timeout 60 wine reg "$@"; }
# a value's data as reg.exe prints it (the 64-bit view), or nothing
reg_value() { wine_reg query "$1" /v "$2" /reg:64 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
reg_type() { wine_reg query "$1" /v "$2" /reg:64 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *\(REG_[A-Z_]*\).*/\1/p"; }
no_key() { ! wine_reg query "$1" /reg:64 >/dev/null 2>&1; }
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
runs=0
msiexec() { # msiexec's arguments; silent, logged verbosely to $work/msiexec-<n>.log
    runs=$((runs + 1))
    timeout 300 wine msiexec "$@" /qn /l*v "$(windows_path "$work/msiexec-$runs.log")"
}
# Windows Installer's "fatal error" (1603), as Wine hands over an exit code: its lowest 8 bits.
refused=$((1603 % 256))

step "fresh prefix and virtual display $display"
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
within 20 test -S "/tmp/.X11-unix/X${display#:}" || fail "Xvfb did not start on $display"
export DISPLAY=$display
boot_prefix() { timeout 300 wineboot -i >"$work/wineboot.log" 2>&1; }
boot_status=0
boot_prefix || boot_status=$?
if ((boot_status)); then
    echo "wineboot failed (exit $boot_status); its last words:" && tail -5 "$work/wineboot.log"
    timeout 30 wineserver -k 2>/dev/null || true
    boot_prefix || fail "wineboot could not make the prefix twice"
fi

user_dir=$WINEPREFIX/drive_c/users/$(id -un)
app_dir=$WINEPREFIX/drive_c/Program\ Files/VantrelDetectInstallTool
install_location='C:\Program Files\VantrelDetectInstallTool'
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VantrelDetectInstallTool'
policy='HKLM\SOFTWARE\Policies\Vantrel\VantrelDetectInstallTool'
chosen='HKLM\SOFTWARE\Vantrel\VantrelDetectInstallTool'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
flag=$user_dir/Documents/VantrelDetectInstallTool/startup.flag
browser_lists=('HKLM\SOFTWARE\Policies\Google\Chrome\LoopbackNetworkAllowedForUrls'
    'HKLM\SOFTWARE\Policies\Google\Chrome\LocalNetworkAccessAllowedForUrls'
    'HKLM\SOFTWARE\Policies\Microsoft\Edge\LoopbackNetworkAllowedForUrls'
    'HKLM\SOFTWARE\Policies\Microsoft\Edge\LocalNetworkAccessAllowedForUrls')
skip_domains='HKLM\SOFTWARE\Policies\Mozilla\Firefox\LocalNetworkAccess\SkipDomains'
# Windows puts an all-users shortcut into the common Programs folder; Wine's msi.dll takes the user's for
# ProgramMenuFolder even when ALLUSERS=1. Either counts; none may be left after a removal.
shortcuts=("$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tessary检测安装工具.lnk"
    "$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Tessary检测安装工具.lnk")
shortcut_made() { [ -f "${shortcuts[0]}" ] || [ -f "${shortcuts[1]}" ]; }
shipped=$(sed -n 's/^[[:space:]]*File "\${DIST}\\\(.*\)"[[:space:]]*$/\1/p' "dist/$name.files.nsh" | tr '\\' '/')
[ -n "$shipped" ] || fail "no files listed in dist/$name.files.nsh"
installed_files() { (cd "$app_dir" && find . -type f | sed 's|^\./||' | LC_ALL=C sort); }
# The MSI's own entries in the uninstall list ({ProductCode} keys), each hidden as a system component.
msi_entries() {
    wine_reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 | tr -d '\r' |
        awk '/^HKEY/ { product = ($0 ~ /\\\{[0-9A-F-]*\}$/) } product && /^ *Publisher *REG_SZ *Vantrel$/ { n++ }
            END { print n + 0 }'
}
visible_entries() {
    wine_reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 | tr -d '\r' |
        grep -c 'InstallLocation .*\\VantrelDetectInstallTool$' || true
}
nothing_left() { # after a removal
    [ ! -e "$app_dir" ] || fail "the program folder is still there: $(installed_files | tr '\n' ' ')"
    ! shortcut_made || fail "the shortcut is still there"
    no_key "$key" || fail "the uninstall entry is still there"
    [ "$(msi_entries)" = 0 ] || fail "the MSI's own entry is still there"
    no_key "$policy" || fail "the policy values are still there: $(wine_reg query "$policy" /reg:64 | tr -d '\r')"
    no_key "$chosen" || fail "the browser policy choice is still there"
    local list
    for list in "${browser_lists[@]}" "$skip_domains"; do no_key "$list" || fail "$list is still there"; done
    [ -z "$(reg_value "$run_key" VantrelDetectInstallTool)" ] || fail "the Run value is still there"
}

step "no policy property among the secure ones"
secure=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }')
[ "$secure" = "UPGRADEFOUND;NEWERFOUND" ] || fail "SecureCustomProperties: $secure"

step "refused: another INSTALLDIR, and an install over one of the NSIS setup"
status=0
msiexec /i "$(windows_path "$msi")" 'INSTALLDIR=C:\Tools\' || status=$?
[ "$status" = "$refused" ] || fail "the install into C:\\Tools ended with exit code $status, not $refused"
[ ! -e "$WINEPREFIX/drive_c/Tools" ] && [ ! -e "$app_dir" ] || fail "the refused install wrote files"
no_key "$key" || fail "the refused install wrote an uninstall entry"
wine_reg add "$key" /v UninstallString /d "\"$install_location\\uninstall.exe\"" /f /reg:64 >/dev/null
status=0
msiexec /i "$(windows_path "$msi")" || status=$?
[ "$status" = "$refused" ] || fail "the install over the NSIS setup's ended with exit code $status, not $refused"
[ ! -e "$app_dir" ] || fail "the install over the NSIS setup's wrote files"
wine_reg delete "$key" /f /reg:64 >/dev/null

step "a version service for the program, on a port free on this machine"
# Other checks at the same time use the usual ports: this one takes a free one, named by the policy.
port=$((18100 + RANDOM % 800))
while listening $port; do port=$((port + 1)); done
mkdir -p "$work/static"
cp demo/probe.html "$work/static/"
scripts/wine-run.sh "$build_dir/tools/version-service.exe" --port $port --components demo/components.json \
    --static "$(windows_path "$work/static")" >"$work/service.log" 2>&1 &
service_pid=$!
pids+=("$service_pid")
within 30 listening $port || fail "the version service did not start: $(cat "$work/service.log")"
sleep 1
kill -0 $service_pid 2>/dev/null || fail "the version service ended: $(cat "$work/service.log")"
service=http://127.0.0.1:$port

step "silent install with an allow-list, the browser policies and the service addresses"
origins='https://portal.example.com, http://Intranet.Example:8080/ ,ftp://files.example.com,HTTPS://Portal.Example.COM:443/, http://[::1]:8080,http://intranet.example:08080,http://Legacy.Example:00080'
msiexec /i "$(windows_path "$msi")" "ALLOWEDORIGINS=$origins" \
    BROWSERPOLICY=1 VERSIONSERVICEURL=$service PROBEURL=$service/demo/probe.html \
    WEBCHATURL=https://chat.example.com/webchat.html ||
    fail "the install ended with exit code $?"
[ "$(installed_files)" = "$(LC_ALL=C sort <<<"$shipped")" ] ||
    fail "installed: $(installed_files | tr '\n' ' '); listed: $(tr '\n' ' ' <<<"$shipped")"
shortcut_made || fail "no Start-menu shortcut named Tessary检测安装工具.lnk"
# reg.exe prints Chinese in the console's code page; its export is UTF-16.
wine_reg export "$key" "$(windows_path "$work/entry.reg")" /reg:64 /y >/dev/null
grep -qx '"DisplayName"="Tessary检测安装工具"' <(iconv -f UTF-16 -t UTF-8 "$work/entry.reg" | tr -d '\r') ||
    fail "DisplayName: $(iconv -f UTF-16 -t UTF-8 "$work/entry.reg" | grep DisplayName)"
[ "$(reg_value "$key" DisplayVersion)" = "$version" ] || fail "DisplayVersion $(reg_value "$key" DisplayVersion)"
[ "$(reg_type "$key" Publisher)" = REG_SZ ] && [ -z "$(reg_value "$key" Publisher)" ] || fail "Publisher not empty"
[ "$(reg_value "$key" InstallLocation)" = "$install_location" ] || fail "InstallLocation $(reg_value "$key" InstallLocation)"
[ "$(reg_value "$key" DisplayIcon)" = "$install_location\\VantrelDetectInstallTool.exe,0" ] || fail "DisplayIcon"
uninstall=$(reg_value "$key" UninstallString)
[[ "$uninstall" =~ ^MsiExec\.exe\ /X\{[0-9A-F-]{36}\}$ ]] || fail "UninstallString $uninstall"
[ "$(reg_value "$key" QuietUninstallString)" = "$uninstall /qn" ] || fail "QuietUninstallString"
[ "$(reg_value "$key" NoModify)" = 0x1 ] && [ "$(reg_value "$key" NoRepair)" = 0x1 ] || fail "NoModify, NoRepair"
product=${uninstall#MsiExec.exe /X}
[ "$(reg_value "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product" SystemComponent)" = 0x1 ] ||
    fail "the MSI's own entry is not hidden"
[ "$(visible_entries)" = 1 ] || fail "$(visible_entries) uninstall entries name the folder"
[ "$(reg_value "$policy" AllowedOrigins)" = "$origins" ] ||
    fail "AllowedOrigins: $(reg_value "$policy" AllowedOrigins)"
[ "$(reg_value "$policy" VersionServiceUrl)" = "$service" ] || fail "VersionServiceUrl"
[ "$(reg_value "$policy" ProbeUrl)" = "$service/demo/probe.html" ] || fail "ProbeUrl"
[ "$(reg_value "$policy" WebChatUrl)" = https://chat.example.com/webchat.html ] || fail "WebChatUrl"
for list in "${browser_lists[@]}"; do
    [ "$(reg_value "$list" 1)" = https://portal.example.com ] && [ "$(reg_value "$list" 2)" = http://intranet.example:8080 ] ||
        fail "$list: $(wine_reg query "$list" /reg:64 2>&1 | tr -d '\r')"
    [ "$(reg_value "$list" 3)" = http://legacy.example ] && [ -z "$(reg_value "$list" 4)" ] ||
        fail "$list: $(wine_reg query "$list" /reg:64 2>&1 | tr -d '\r')"
done
[ "$(reg_value "$skip_domains" 1)" = portal.example.com ] && [ "$(reg_value "$skip_domains" 2)" = intranet.example ] &&
    [ "$(reg_value "$skip_domains" 3)" = legacy.example ] && [ -z "$(reg_value "$skip_domains" 4)" ] ||
    fail "SkipDomains: $(wine_reg query "$skip_domains" /reg:64 2>&1 | tr -d '\r')"
tr -d '\0' <"$work/msiexec-$runs.log" | grep -aq 'left out of the browser policies: http://\[::1\]:8080' ||
    fail "the installer's log does not name http://[::1]:8080: $(tr -d '\0' <"$work/msiexec-$runs.log" | grep -a 'left out')"

step "the NSIS setup is refused over the MSI's installation"
status=0
timeout 120 wine "$setup" /S || status=$?
[ "$status" = 2 ] || fail "the NSIS setup over the MSI's installation ended with exit code $status, not 2"
[ "$(reg_value "$key" UninstallString)" = "$uninstall" ] && [ ! -e "$app_dir/uninstall.exe" ] ||
    fail "the NSIS setup changed the installation: $(reg_value "$key" UninstallString)"

step "a removal with another INSTALLDIR is refused and runs no program planted there"
planted=$WINEPREFIX/drive_c/users/Public/x
mkdir -p "$planted"
printf '#include <windows.h>\nint main(void) { CloseHandle(CreateFileA("C:\\\\users\\\\Public\\\\planted-ran", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL)); return 0; }\n' >"$work/planted.c"
x86_64-w64-mingw32-gcc-posix -o "$planted/VantrelDetectInstallTool.exe" "$work/planted.c"
status=0
msiexec /x "$(windows_path "$msi")" 'INSTALLDIR=C:\users\Public\x\' || status=$?
[ ! -e "$WINEPREFIX/drive_c/users/Public/planted-ran" ] || fail "the removal ran C:\users\Public\x\VantrelDetectInstallTool.exe"
[ "$status" = "$refused" ] || fail "the removal with another INSTALLDIR ended with exit code $status, not $refused"
[ -f "$app_dir/VantrelDetectInstallTool.exe" ] && [ "$(reg_value "$key" UninstallString)" = "$uninstall" ] ||
    fail "the refused removal changed the installation"

step "the program finds itself by its uninstall entry, under its Chinese display name"
VANTREL_INSTALLED_FOLDER=$install_location timeout 120 scripts/wine-run.sh "$build_dir/tests/tst_windows.exe" \
    installedProgram_isFoundByItsUninstallEntry | grep -E "^(PASS|FAIL|SKIP|Totals)"

step "a sample tool installed beside"
install_sample_tool "$build_dir" "$app_dir"

step "the installed program starts with nothing else on its path, its settings from the policy alone"
# The command ports are the machine's: a test of another checkout may hold them for a while.
ports_free() { ! listening 12345 && ! listening 51868 && ! listening 51869; }
if ! ports_free; then
    echo "(a program of another user or test holds a command port; waiting for it)"
    within 300 ports_free || fail "the command ports stayed taken: $(ss -ltnp 2>/dev/null | grep -E ':(12345|5186[89]) ')"
fi
record=$work/frames.txt
: >"$record"
(
    unset WINEPATH QT_PLUGIN_PATH VANTREL_ALLOWED_ORIGINS VANTREL_VERSION_SERVICE_URL VANTREL_PROBE_URL \
        VANTREL_WEBCHAT_URL
    VANTREL_SAMPLE_RECORD=$(windows_path "$record") exec wine "$install_location\\VantrelDetectInstallTool.exe"
) >"$work/program.log" 2>&1 &
program_pid=$!
pids+=("$program_pid")
# this copy, not one that another test on the machine runs
program_ended() { ! kill -0 "$program_pid" 2>/dev/null; }
logs=$user_dir/AppData/Local/VantrelDetectInstallTool/logs
listens() { grep -rqsE "server listening on port $1"$'\r?$' "$logs"; }
for port in 12345 51868 51869; do
    within 60 listens $port || fail "the program does not listen on port $port: $(grep -rh "port $port" "$logs" | tail -3)"
done
from_policy() { grep -rqs "Deployment setting $1 from the machine policy" "$logs"; }
within 10 from_policy AllowedOrigins || fail "the log names no allow-list from the machine policy: $(cat "$logs"/* 2>/dev/null | tail -20)"
from_policy VersionServiceUrl && from_policy ProbeUrl && from_policy WebChatUrl ||
    fail "the log names addresses not from the machine policy: $(grep -rh 'Deployment setting' "$logs")"

step "a page of another origin, or of none, is closed with 1008 at once and hands nothing on"
# In bytes, as a browser would send them: Qt 5's client loses a frame that comes in the same read as the
# handshake's answer, which is how the program closes a refused page. The page's command goes in one
# text frame, masked with a zero key (so as it is); what comes back is printed in hex, up to the close.
page() { # origin (empty: none), message of less than 126 bytes
    (
        exec 3<>/dev/tcp/127.0.0.1/12345
        {
            printf 'GET / HTTP/1.1\r\nHost: 127.0.0.1:12345\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n'
            printf 'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n'
            [ -z "$1" ] || printf 'Origin: %s\r\n' "$1"
            printf "\r\n\x81\x$(printf %02x $((0x80 + ${#2})))\x00\x00\x00\x00"
            printf '%s' "$2"
        } >&3
        timeout 10 cat <&3 | od -An -tx1 -v | tr -d ' \n'
    )
}
# the answer's head, then at once a close frame (0x88) of code 1008 (0x03f0)
closed_with_1008() { [[ "$1" =~ ^485454502f312e3120313031.*0d0a0d0a88[0-9a-f]{2}03f0 ]]; }
refused_message='{"VantrelUseScene":"00","operationCommand":"startTool","documentId":"refused"}'
answer=$(page https://other.example.com "$refused_message")
closed_with_1008 "$answer" || fail "a page of https://other.example.com was answered: $answer"
answer=$(page "" "$refused_message")
closed_with_1008 "$answer" || fail "a page without an origin was answered: $answer"
grep -rqs 'Refused a connection from origin "https://other.example.com"' "$logs" || fail "the log names no refused page"

step "a start command of the allowed portal over wss reaches the sample tool byte for byte"
message='{"VantrelUseScene":"00","operationCommand":"startTool","documentId":"签章-42","note":"a \"quoted\" value"}'
timeout 60 scripts/wine-run.sh "$build_dir/tools/ws_send.exe" wss://localhost:51869 "$message" --origin https://portal.example.com \
    --ca "$(windows_path "$PWD/resources/dev-root-ca.pem")" || fail "the portal's command was not sent"
within 60 grep -q . "$record" || fail "the sample tool received nothing"
sleep 1
[ "$(cat "$record")" = "$message" ] || fail "the tool received: $(cat "$record")"

step "silent removal while the program runs"
! program_ended || fail "the program ended before the removal: $(tail -5 "$work/program.log")"
msiexec /x "$(windows_path "$msi")" || fail "the removal ended with exit code $?"
within 20 program_ended || fail "the program still runs: $(tail -5 "$work/program.log")"
nothing_left
[ -f "$flag" ] || fail "the user's first-run flag was removed"

step "an upgrade over an earlier package keeps the user's values and the policy, deletes what only it shipped"
earlier=$work/earlier/VantrelDetectInstallTool-0.9.0-win64
mkdir -p "$work/earlier"
cp -a "dist/$name" "$earlier"
echo "shipped by 0.9.0 only" >"$earlier/obsolete.txt"
awk '/^!macroend/ && ++n == 1 { print "    SetOutPath \"$INSTDIR\""; print "    File \"${DIST}\\obsolete.txt\"" } { print }' \
    "dist/$name.files.nsh" >"$earlier.files.nsh"
earlier_msi=$work/earlier/VantrelDetectInstallTool-0.9.0-win64.msi
VANTREL_DEPLOY_FOLDER=$earlier VANTREL_PACKAGE_VERSION=0.9.0 VANTREL_MSI_OUT=$earlier_msi \
    scripts/make-msi.sh "$build_dir" >/dev/null
msiexec /i "$(windows_path "$earlier_msi")" ALLOWEDORIGINS=https://portal.example.com BROWSERPOLICY=1 \
    VERSIONSERVICEURL=$service 'PROBEURL=#1' 'WEBCHATURL=#x4142' || fail "the earlier package's install ended with exit code $?"
[ -f "$app_dir/obsolete.txt" ] && [ "$(reg_value "$key" DisplayVersion)" = 0.9.0 ] || fail "the earlier package did not install"
hash_values_are_strings() {
    [ "$(reg_type "$policy" ProbeUrl)" = REG_SZ ] && [ "$(reg_value "$policy" ProbeUrl)" = '#1' ] &&
        [ "$(reg_type "$policy" WebChatUrl)" = REG_SZ ] && [ "$(reg_value "$policy" WebChatUrl)" = '#x4142' ] ||
        fail "$1: values beginning with '#': $(wine_reg query "$policy" /reg:64 | tr -d '\r')"
}
hash_values_are_strings "the earlier package"
run_value="\"$install_location\\VantrelDetectInstallTool.exe\""
wine_reg add "$run_key" /v VantrelDetectInstallTool /d "$run_value" /f >/dev/null
msiexec /i "$(windows_path "$msi")" || fail "the upgrade ended with exit code $?"
[ "$(reg_value "$key" DisplayVersion)" = "$version" ] || fail "after the upgrade: version $(reg_value "$key" DisplayVersion)"
[ "$(installed_files)" = "$(LC_ALL=C sort <<<"$shipped")" ] || fail "after the upgrade: $(installed_files | tr '\n' ' ')"
[ "$(visible_entries)" = 1 ] && [ "$(msi_entries)" = 1 ] ||
    fail "after the upgrade: $(visible_entries) entries name the folder, $(msi_entries) of the MSI"
[ "$(reg_value "$run_key" VantrelDetectInstallTool)" = "$run_value" ] || fail "the upgrade lost the Run value"
[ -f "$flag" ] || fail "the upgrade removed the user's first-run flag"
[ "$(reg_value "$policy" AllowedOrigins)" = https://portal.example.com ] &&
    [ "$(reg_value "$policy" VersionServiceUrl)" = "$service" ] || fail "the upgrade lost the policy values"
hash_values_are_strings "after the upgrade"
for list in "${browser_lists[@]}"; do
    [ "$(reg_value "$list" 1)" = https://portal.example.com ] || fail "the upgrade lost $list"
done
[ "$(reg_value "$skip_domains" 1)" = portal.example.com ] || fail "the upgrade lost SkipDomains"

step "the earlier package is refused over the current one; the last removal"
status=0
msiexec /i "$(windows_path "$earlier_msi")" || status=$?
[ "$status" = "$refused" ] || fail "the downgrade ended with exit code $status, not $refused"
[ "$(reg_value "$key" DisplayVersion)" = "$version" ] && [ ! -e "$app_dir/obsolete.txt" ] || fail "the downgrade changed the install"
msiexec /x "$(windows_path "$msi")" || fail "the removal ended with exit code $?"
nothing_left
echo "MSI check passed."
