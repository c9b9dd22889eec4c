#!/bin/bash
# A failing run reports its error lines to the Application event log. Wine's
# ReportEventW stores nothing; it prints an event's strings on standard error
# (err:eventlog for an error event, trace:eventlog with +eventlog for the
# others), and with fixme+advapi the event's type and id.
. "$(dirname "$0")/lib.sh"
new_prefix event-log
key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Zantorelle Setup'

# report ARGS...: runs the installer; $out gets what it reported, one line
# per event ("event <type> <id>") and per string; sets $code.
out=$ZRL_WORK/event-log.out
report() {
    (unset DISPLAY; WINEDEBUG=-all,+eventlog,fixme+advapi "$WINE" "$SETUP_EXE" "$@" \
        </dev/null >/dev/null 2>"$ZRL_WORK/event-log.err")
    code=$?
    sed -n -e 's/^.*:fixme:advapi:ReportEventW ([^,]*,\([^,]*\),[^,]*,\([^,]*\),.*/event \1 \2/p' \
        -e 's/^.*:eventlog:ReportEventW //p' "$ZRL_WORK/event-log.err" >"$out"
}

# A setup package that left the help file out: the driver cannot be complete.
rm "$WINEPREFIX/drive_c/Zantorelle/Setup/zrlhelp.chm"
report install
check "the install's error event (1002): command, code, meaning, error lines, log" \
    diff <(cut -c1-80 "$out") - <<'EOF'
event 0x0001 0x000003ea
L"install"
L"100"
L"the run logged errors"
L"Error(10): Cant't open source file: zrlhelp.chm - (File not found.)\r\n"
L"Zantorelle 2026\r\n>Check Spooler\r\n>ReInstall\r\n    >UnInstall\r\n      Enu
EOF
check "the install exits 100" [ "$code" = 100 ]
check "the install registered the source with itself as message file" \
    diff <("$WINE" reg query "$key" | tr -d '\r' | sed '/^$/d') - <<'EOF'
HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\EventLog\Application\Zantorelle Setup
    EventMessageFile    REG_EXPAND_SZ    C:\Zantorelle\Setup\zrlsetup.exe
    TypesSupported    REG_DWORD    0x7
EOF
report uninstall
check "the uninstall reports too" grep -qx 'L"uninstall"' "$out"
check "and removes the registration" bash -c "! '$WINE' reg query '$key' >/dev/null 2>&1"
finish
