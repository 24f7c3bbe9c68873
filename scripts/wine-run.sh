#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine with the Qt, OpenSSL and MinGW runtime DLLs
# on its search path: scripts/wine-run.sh PROGRAM.exe [arguments]. CTest uses it as the emulator of
# the Windows test suite. WINEPREFIX must name a prefix of the caller's (scripts/test-windows.sh makes
# a temporary one); the user's own ~/.wine is never used.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
qt=${VANTREL_MINGW_QT:-$(cd "$here/../.." && pwd)/shared/mingw-qt}
: "${WINEPREFIX:?set WINEPREFIX to a prefix of your own (scripts/test-windows.sh makes one)}"
export WINEPREFIX WINEDEBUG=${WINEDEBUG:--all}
# A GUI program logs to the debugger otherwise; the tests read its log from standard error.
export QT_FORCE_STDERR_LOGGING=1

windows_path() { printf 'Z:%s' "${1//\//\\}"; }
compiler_runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
threads_runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")
WINEPATH=""
for folder in "$qt/bin" "$qt/openssl/bin" "$compiler_runtime" "$threads_runtime"; do
    WINEPATH+="$(windows_path "$folder");"
done
export WINEPATH
export QT_PLUGIN_PATH=$(windows_path "$qt/plugins")
# Wine keeps QT_* variables of Linux for itself and hands WINEQT_* ones to Windows programs as QT_*.
while IFS='=' read -r name value; do
    [[ "$name" == QT_* ]] && export "WINE$name=$value"
done < <(env)

# Qt's writes to standard output are lost under Wine when it is a pipe or a file (not a terminal), as
# in CTest; a test suite writes its report to a file instead, followed while it runs, so a suite that
# CTest stops at its timeout still shows the function it was in. Wine's own output goes to a file as
# well: a console host Wine starts for a console child (conhost.exe --headless) gets these descriptors
# and at times outlives the suite, and CTest would wait on its pipe until the timeout.
if [[ "$(basename "$1")" == tst_*.exe ]]; then
    report=$(mktemp --suffix=.txt)
    wine_output=$(mktemp --suffix=.log)
    trap 'rm -f "$report" "$wine_output"' EXIT
    wine "$@" -o "$(windows_path "$report"),txt" </dev/null >"$wine_output" 2>&1 &
    suite=$!
    tail -n +1 -f --pid="$suite" "$report" &
    follower=$!
    status=0
    wait "$suite" || status=$?
    wait "$follower" || true
    cat "$wine_output"
    exit "$status"
fi
exec wine "$@"
