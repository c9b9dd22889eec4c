#!/bin/bash
# Installs the product into a fresh Wine prefix as a setup package would run
# the installer, holds Shift so that the log dialog opens, prints what the
# dialog shows and the exit code, and saves a screenshot of the dialog.
set -u
build=$(cd "${1:-build}" && pwd)
export ZRL_STAGE=$build/demo/product
export ZRL_TEMPLATE=$build/wine/template
export ZRL_WORK=$build/demo
export ZRL_TOOLS=$build/tests
export ZRL_PREFIX_TOOL=$(cd "$(dirname "$0")/../cmake" && pwd)/wine-prefix.sh
export ZRL_KEEP_PREFIX=1
. "$(dirname "$0")/../tests/e2e/lib.sh"

new_prefix_with_display prefix
# Xvfb has no window manager to draw the dialog's caption and frame: let
# Wine's X11 driver draw them itself, as Windows would.
"$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
out=$build/demo/log-dialog.txt
SCREENSHOT=$build/demo/log-dialog.png HOLD_MS=1500 read_dialog "$out" --shift -- install

case $code in
1) meaning="install finished without errors" ;;
100) meaning="the run logged errors (the log dialog shows them)" ;;
101) meaning="no errors; files are scheduled for deletion at the next restart" ;;
*) meaning="unexpected for an install" ;;
esac
echo "---- what the log dialog showed ----"
grep -v '^host: ' "$out"
echo "------------------------------------"
echo "zrlsetup.exe install exited with $code: $meaning"
echo "Screenshot of the dialog: $build/demo/log-dialog.png"
echo "Spooler state afterwards:"
"$WINE" "$ZRL_TOOLS/state_dump.exe" 2>/dev/null | tr -d '\r' || true
