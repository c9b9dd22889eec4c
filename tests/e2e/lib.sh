# Shared by the end-to-end tests: each test gets a throwaway copy of the
# template prefix with a wineserver of its own, runs the installed
# zrlsetup.exe in it and checks exit codes and state.
set -u
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
export CUPS_SERVER=/nonexistent/zrl-cups.sock
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
# The installed layout, copied into each prefix by new_prefix: an uninstall
# or reinstall deletes the registered zantray.exe, which must not be the one
# in the stage that every test shares.
SETUP_EXE='C:\Zantorelle\Setup\zrlsetup.exe'
failures=0

# new_prefix NAME: a fresh prefix for this test, its server started detached
# (the services Wine starts with the first program must not hold our output),
# with the product laid out in C:\Zantorelle; TRAY_EXE is its tray program.
new_prefix() {
    export WINEPREFIX=$ZRL_WORK/$1
    "$ZRL_PREFIX_TOOL" fresh "$ZRL_TEMPLATE" "$WINEPREFIX"
    cp -a "$ZRL_STAGE/Zantorelle" "$WINEPREFIX/drive_c/"
    TRAY_EXE=$WINEPREFIX/drive_c/Zantorelle/zantray.exe
    "$ZRL_PREFIX_TOOL" start "$WINEPREFIX"
    trap 'end_prefix' EXIT
}

end_prefix() {
    "$ZRL_PREFIX_TOOL" stop "$WINEPREFIX"
    [ -n "${ZRL_KEEP_PREFIX:-}" ] || rm -rf "$WINEPREFIX"
}

# restart_prefix: ends the wineserver and starts it again, which Wine treats
# as a restart of the machine (pending file renames are carried out).
restart_prefix() {
    "$ZRL_PREFIX_TOOL" stop "$WINEPREFIX"
    "$ZRL_PREFIX_TOOL" start "$WINEPREFIX"
}

# setup ARGS...: runs the installer without a display; sets $code.
setup() {
    (unset DISPLAY; "$WINE" "$SETUP_EXE" "$@" </dev/null >/dev/null 2>&1)
    code=$?
}

# expect_code EXPECTED ARGS...: runs the installer and checks its exit code.
expect_code() {
    local expected=$1
    shift
    setup "$@"
    check "zrlsetup $* exits $expected" [ "$code" = "$expected" ]
    [ "$code" = "$expected" ] || echo "    (got $code)"
}

# check DESCRIPTION COMMAND...: one assertion.
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok   $what"
    else
        echo "FAIL $what"
        failures=$((failures + 1))
    fi
}

finish() {
    [ "$failures" = 0 ] || { echo "$failures check(s) failed"; exit 1; }
    echo "all checks passed"
}

# start_display: an X server of this test's own (the log dialog needs one).
start_display() {
    local fd_file
    fd_file=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do
        [ -s "$fd_file" ] && break
        sleep 0.05
    done
    export DISPLAY=:$(head -n1 "$fd_file")
    rm -f "$fd_file"
}

# new_prefix_with_display NAME: the prefix's desktop on an X server of its own.
new_prefix_with_display() {
    start_display
    new_prefix "$1"
    trap 'end_prefix; kill $XVFB_PID 2>/dev/null' EXIT
}

# read_dialog OUT [--shift] -- ARGS...: runs the installer on the display with
# the log reader's window as its owner and writes what the reader saw to OUT.
# --shift holds Shift on that window while the installer runs; with
# SCREENSHOT=file.png (and HOLD_MS long enough) the screen is saved meanwhile.
read_dialog() {
    local out=$1 shift_key=no
    shift
    [ "$1" = --shift ] && { shift_key=yes; shift; }
    [ "$1" = -- ] && shift
    "$WINE" "$ZRL_TOOLS/log_reader.exe" read 15 --host --hold "${HOLD_MS:-0}" >"$out" 2>&1 &
    local reader=$!
    local host=""
    for _ in $(seq 100); do
        host=$(sed -n 's/^host: //p' "$out" | tr -d '\r')
        [ -n "$host" ] && break
        sleep 0.05
    done
    if [ "$shift_key" = yes ]; then
        local window
        window=$(xdotool search --name "log reader host" | head -n1)
        xdotool windowactivate --sync "$window" >/dev/null 2>&1 || xdotool windowfocus "$window"
        xdotool keydown shift
    fi
    "$WINE" "$SETUP_EXE" "$@" "$host" </dev/null >/dev/null 2>&1 &
    local installer=$!
    if [ "$shift_key" = yes ] || [ -n "${SCREENSHOT:-}" ]; then
        for _ in $(seq 200); do
            xdotool search --name "Zantorelle build" >/dev/null 2>&1 && break
            kill -0 "$installer" 2>/dev/null || break
            sleep 0.05
        done
        # Released while a Wine window has the focus, or Wine keeps it down:
        # once the dialog is up, the installer has read the key.
        [ "$shift_key" = yes ] && xdotool keyup shift
        if [ -n "${SCREENSHOT:-}" ]; then
            sleep 0.5
            import -window root "$SCREENSHOT"
        fi
    fi
    wait "$installer"
    code=$?
    # The dialog is modal: once the installer has ended, it was read or never came.
    for _ in $(seq 40); do
        kill -0 "$reader" 2>/dev/null || break
        sleep 0.05
    done
    kill "$reader" 2>/dev/null && echo "no log dialog" >>"$out"
    wait "$reader" 2>/dev/null
    tr -d '\r' <"$out" >"$out.txt" && mv "$out.txt" "$out"
}

# state SECTION...: the state_dump tool's lines for those sections.
state() {
    "$WINE" "$ZRL_TOOLS/state_dump.exe" "$@"
}

# spooler_setup ARGS...: prepares state with the spooler_setup tool.
spooler_setup() {
    "$WINE" "$ZRL_TOOLS/spooler_setup.exe" "$@" </dev/null
}

# tray running|ended: waits up to 3 s for zantray.exe to be in (or out of)
# this prefix's process list; fails if it never is.
tray() {
    local want=$1 now
    for _ in $(seq 30); do
        now=ended
        "$WINE" wmic process get name 2>/dev/null | iconv -f UTF-16 -t UTF-8 |
            tr -d '\r' | grep -qix 'zantray\.exe *' && now=running
        [ "$now" = "$want" ] && return 0
        sleep 0.1
    done
    return 1
}

# log_text OUT: the log text that read_dialog saw, without its frame lines.
log_text() {
    sed -n '/^text:$/,/^end of text$/p' "$1" | sed '1d;$d'
}

# msiexec ARGS...: Windows Installer without a display (nothing may wait for a
# user), logging to MSI_LOG; $code gets its whole exit code through cmd's
# "start /wait" (wine64 passes on only the low 8 bits).
msiexec() {
    MSI_LOG=$WINEPREFIX/drive_c/msi.log
    rm -f "$MSI_LOG"
    code=$( (unset DISPLAY; "$WINE" cmd /v:on /c \
        "start /wait msiexec $* /qn /norestart /l*v C:\\msi.log & echo !errorlevel!") \
        </dev/null 2>/dev/null | tr -d '\r' | tail -n1)
}
# msi_lines: the package's own lines in the MSI log; ended COMMAND CODE: one.
msi_lines() { tr -d '\r' <"$MSI_LOG" | grep '^Zantorelle: '; }
ended() {
    echo "Zantorelle: \"C:\\Program Files\\Zantorelle\\Setup\\zrlsetup.exe\" $1 ended with exit code $2."
}
