# Shared by the end-to-end tests: each test gets a throwaway copy of the
# template prefix with a wineserver of its own, runs the installed
# zrlsetup.exe in it and checks exit codes and state.
set -u
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
export CUPS_SERVER=/nonexistent/zrl-cups.sock
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
SETUP_EXE=$ZRL_STAGE/Zantorelle/Setup/zrlsetup.exe
failures=0

# new_prefix NAME: a fresh prefix for this test, its server started detached
# (the services Wine starts with the first program must not hold our output).
new_prefix() {
    export WINEPREFIX=$ZRL_WORK/$1
    "$ZRL_PREFIX_TOOL" fresh "$ZRL_TEMPLATE" "$WINEPREFIX"
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
