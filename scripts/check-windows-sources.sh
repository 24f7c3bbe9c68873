#!/usr/bin/env bash
# Syntax-checks every Windows-only source with the MinGW cross compiler against the Qt headers, so
# that the Windows code, which no machine here runs, at least compiles.
set -euo pipefail
cd "$(dirname "$0")/.."
qt=$(qmake -query QT_INSTALL_HEADERS 2>/dev/null || echo /usr/include/x86_64-linux-gnu/qt5)
compiler=x86_64-w64-mingw32-g++-posix
includes=(-isystem "$qt")
for module in QtCore QtGui QtWidgets QtNetwork QtWebSockets; do includes+=(-isystem "$qt/$module"); done
for folder in app util net http update ui; do includes+=(-I"$folder"); done

status=0
for source in util/platform_win.cpp; do
    echo "mingw -fsyntax-only $source"
    "$compiler" -fsyntax-only -std=c++17 -Wall -Wextra -Werror -DUNICODE -D_UNICODE "${includes[@]}" "$source" \
        || status=1
done
echo "windres check app/app.rc"
x86_64-w64-mingw32-windres --preprocessor-arg=-DRC_INVOKED -i app/app.rc -o /tmp/vantrel-app-rc.o \
    --include-dir app || status=1
exit $status
