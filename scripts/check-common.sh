# Shared by the package checks (sourced): how a check reports and waits.
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "-- $*"; }
# waits up to $1 seconds for the command that follows to succeed
within() {
    local seconds=$1
    shift
    for ((i = 0; i < seconds * 10; i++)); do "$@" && return 0; sleep 0.1; done
    return 1
}
# a Linux path as Wine's Z: drive names it
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
# Installs the sample signature client beside the program ($2: its folder) into C:\SampleTool, with the
# uninstall entry the program finds it by; $1: the build folder.
install_sample_tool() {
    local build_dir=$1 app_dir=$2 value
    local key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VantrelSignatureClient'
    mkdir -p "$WINEPREFIX/drive_c/SampleTool"
    cp "$build_dir/tools/VantrelSignatureClient.exe" "$app_dir"/*.dll "$WINEPREFIX/drive_c/SampleTool/"
    for value in 'DisplayName=Tessary签章客户端' 'DisplayIcon=C:\SampleTool\VantrelSignatureClient.exe,0' \
        'DisplayVersion=1.0.5'; do
        timeout 60 wine reg add "$key" /v "${value%%=*}" /d "${value#*=}" /f /reg:64 >/dev/null
    done
}
