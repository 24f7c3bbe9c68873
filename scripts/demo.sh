#!/usr/bin/env bash
# Runs the program in a complete local demo on loopback: the sample version service (which also serves
# the demo portal, the portal kit, the probe page and the web-chat page), the sample signature client
# registered as installed in a demo uninstall list, and the program pointed at all of them. Everything
# the demo writes goes to a temporary folder, apart from what the program itself writes for the user (its
# autostart entry and first-run flag).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
port=18080
work=$(mktemp -d -t vantrel-demo.XXXXXX)
tools=$(cd "$build/tools" && pwd)

mkdir -p "$work/registry/Uninstall" "$work/registry/WOW6432Node/Uninstall" "$work/static"
cp demo/*.html resources/dev-root-ca.pem "$work/static/"
printf 'DisplayName=Tessary签章客户端\nDisplayIcon=%s/VantrelSignatureClient,0\nDisplayVersion=1.0.5\nVersionNumber=105\n' \
    "$tools" >"$work/registry/Uninstall/VantrelSignatureClient.ini"

"$tools/version-service" --port "$port" --components demo/components.json --static "$work/static" \
    --portal "$PWD/portal" --demo-registry "$work/registry" --demo-tools "$tools" >"$work/version-service.log" 2>&1 &
service=$!
cleanup() {
    kill "$service" 2>/dev/null || true
    pkill -f "$tools/VantrelSignatureClient" 2>/dev/null || true
    pkill -f "$tools/VantrelEncryptedClient" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

export VANTREL_UNINSTALL_ROOT="$work/registry"
export VANTREL_VERSION_SERVICE_URL="http://127.0.0.1:$port"
export VANTREL_PROBE_URL="http://127.0.0.1:$port/demo/probe.html"
export VANTREL_WEBCHAT_URL="http://127.0.0.1:$port/demo/phone_webChat.html?accountId=demo&chatId=demo"
export VANTREL_SAMPLE_RECORD="$work/tool-frames.txt"
touch "$VANTREL_SAMPLE_RECORD"

cat <<INFO
Demo running. Open the portal page in a browser on this machine:
    http://127.0.0.1:$port/demo/portal.html
Frames the sample tools receive are appended to:
    $VANTREL_SAMPLE_RECORD
When the program quits (the tray's 退出), the page offers its installer; the demo goes on serving the
page until Ctrl+C, and Enter starts the program again.
INFO
while true; do
    "$build/VantrelDetectInstallTool" "$@" || true
    echo "The program has stopped. Enter starts it again; Ctrl+C ends the demo."
    read -r || break
done
