#!/bin/bash
# Runs the reinstall chaos harness in a Wine prefix of its own, with the
# product laid out in its C:\Zantorelle:
#
#   tests/chaos/run.sh BUILD_DIR [SEEDS] [--first SEED] [--verbose]
#
# Prints the harness's violations and its one-line summary; exits with its code.
set -eu
build=$(cd "$1" && pwd)
seeds=${2:-20}
shift $(($# < 2 ? $# : 2))
root=$(cd "$(dirname "$0")/../.." && pwd)
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
export CUPS_SERVER=/nonexistent/zrl-cups.sock
unset DISPLAY
tool=$root/cmake/wine-prefix.sh
work=$build/chaos
export WINEPREFIX=$work/prefix

"$tool" template "$build/wine/template"
"$tool" fresh "$build/wine/template" "$WINEPREFIX"
cmake --install "$build" --prefix "$work/product" >/dev/null
cp -a "$work/product/Zantorelle" "$WINEPREFIX/drive_c/"
"$tool" start "$WINEPREFIX"
trap '"$tool" stop "$WINEPREFIX"; rm -rf "$work"' EXIT
/usr/lib/wine/wine64 "$build/tests/reinstall_chaos.exe" --seeds "$seeds" "$@" </dev/null
