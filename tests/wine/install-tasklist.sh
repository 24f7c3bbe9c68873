#!/usr/bin/env bash
# Puts the tests' own tasklist.exe where Windows keeps its own, in the system folder of the Wine prefix
# the suites share, and has Wine run it there instead of its built-in one (which prints nothing): the
# program runs tasklist by its full path in the system folder only. The CTest fixture of the Windows
# suites runs it once before them:  tests/wine/install-tasklist.sh TASKLIST.exe
set -euo pipefail
: "${WINEPREFIX:?set WINEPREFIX to the prefix the suites run in}"
export WINEDEBUG=${WINEDEBUG:--all}
system=$WINEPREFIX/drive_c/windows/system32
[ -d "$system" ] || { echo "No prefix at $WINEPREFIX: run wineboot first." >&2; exit 1; }
cp "$1" "$system/tasklist.exe"
# Wine prefers its built-in programs in the system folder unless told otherwise.
wine reg add 'HKCU\Software\Wine\DllOverrides' /v tasklist.exe /d native /f >/dev/null
