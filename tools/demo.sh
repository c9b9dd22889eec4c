#!/bin/bash
# Installs the product into a fresh Wine prefix, as a setup package would run
# the installer, and tells the outcome.
set -u
build=${1:-build}
build=$(cd "$build" && pwd)
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
export CUPS_SERVER=/nonexistent/zrl-cups.sock
export WINEPREFIX=$build/demo/prefix
wine=/usr/lib/wine/wine64

"$(dirname "$0")/../cmake/wine-prefix.sh" fresh "$build/wine/template" "$WINEPREFIX"
setup=$build/demo/product/Zantorelle/Setup/zrlsetup.exe
echo "Running: zrlsetup.exe install   (prefix $WINEPREFIX)"
(unset DISPLAY; "$wine" "$setup" install)
code=$?
case $code in
1) meaning="install finished without errors" ;;
2) meaning="uninstall finished without errors" ;;
100) meaning="the run logged errors (the log dialog shows them)" ;;
101) meaning="no errors; files are scheduled for deletion at the next restart" ;;
*) meaning="unexpected" ;;
esac
echo "zrlsetup.exe install exited with $code: $meaning"
/usr/lib/wine/wineserver64 -k 2>/dev/null
exit 0
