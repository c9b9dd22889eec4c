#!/bin/bash
# Wine prefixes of a build tree.
#   template DIR          make the template prefix once (wineboot takes 10-15 s)
#   fresh TEMPLATE DIR    replace DIR by a copy of the template (1-2 s)
#   start DIR             start a persistent wineserver for DIR
#   stop DIR              end the wineserver of DIR
set -eu
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
export CUPS_SERVER=/nonexistent/zrl-cups.sock
server=/usr/lib/wine/wineserver64

case "$1" in
template)
    dir=$2
    unset DISPLAY
    [ -f "$dir/.ready" ] && exit 0
    rm -rf "$dir"
    mkdir -p "$(dirname "$dir")"
    WINEPREFIX=$dir /usr/lib/wine/wine64 wineboot.exe -i >/dev/null 2>&1 || true
    WINEPREFIX=$dir $server -w
    [ -f "$dir/system.reg" ] || { echo "wineboot made no prefix in $dir" >&2; exit 1; }
    touch "$dir/.ready"
    ;;
fresh)
    WINEPREFIX=$3 $server -k 2>/dev/null || true
    rm -rf "$3"
    mkdir -p "$(dirname "$3")"
    cp -a "$2" "$3"
    ;;
start)
    # Detached from our output: ctest waits for every holder of its pipes.
    WINEPREFIX=$2 $server -p </dev/null >/dev/null 2>&1
    # The first program of a prefix starts Wine's own services (services.exe,
    # explorer.exe, ...), which then live as long as the server and hold on to
    # whatever output they inherited: start them here, detached. The desktop
    # takes the DISPLAY it finds now: windows need it set before this.
    WINEPREFIX=$2 /usr/lib/wine/wine64 cmd.exe /c exit </dev/null >/dev/null 2>&1
    ;;
stop)
    WINEPREFIX=$2 $server -k 2>/dev/null || true
    WINEPREFIX=$2 $server -w 2>/dev/null || true
    ;;
*)
    echo "usage: $0 template|fresh|start|stop ..." >&2
    exit 2
    ;;
esac
