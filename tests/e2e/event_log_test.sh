#!/bin/bash
# A run that fails reports its error lines to the Application event log. Wine's
# ReportEventW stores nothing; it prints the strings of an event on standard
# error ("err:eventlog" for an error event, "trace:eventlog" with +eventlog for
# the others), and the event's type and id with "fixme+advapi".
. "$(dirname "$0")/lib.sh"
new_prefix event-log
err=$ZRL_WORK/event-log.err
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Zantorelle Setup'

# runs ARGS...: the installer with the event log's output kept in $err.
runs() {
    (unset DISPLAY; WINEDEBUG=-all,+eventlog,fixme+advapi "$WINE" "$SETUP_EXE" "$@" \
        </dev/null >/dev/null 2>"$err")
    code=$?
}
# reported: one line per event and string, without Wine's thread prefix.
reported() {
    sed -n 's/^[0-9a-f]*:\(fixme:advapi:ReportEventW\|[a-z]*:eventlog:ReportEventW\) /\1 /p' "$err" |
        sed 's/^fixme:advapi:ReportEventW (\([^,]*\),\([^,]*\),\([^,]*\),\([^,]*\),.*/event type \2 id \4/'
}

# A setup package that left the help file out: the driver's files are incomplete.
rm "$WINEPREFIX/drive_c/Zantorelle/Setup/zrlhelp.chm"
runs install
check "the install without its help file exits 100" [ "$code" = 100 ]
check "one error event (1002) carries the command, the code, its meaning and the error" \
    diff <(reported | head -n5) - <<'EOF'
event type 0x0001 id 0x000003ea
err:eventlog:ReportEventW L"install"
err:eventlog:ReportEventW L"100"
err:eventlog:ReportEventW L"the run logged errors"
err:eventlog:ReportEventW L"Error(10): Cant't open source file: zrlhelp.chm - (File not found.)\r\n"
EOF
check "and then the log from its beginning" \
    grep -q '^err:eventlog:ReportEventW L"Zantorelle 2026\\r\\n>Check Spooler\\r\\n>ReInstall' \
    <(reported)
check "the install registered the source with itself as message file" \
    diff <("$WINE" reg query "$source_key" | tr -d '\r' | sed '/^$/d') - <<'EOF'
HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\EventLog\Application\Zantorelle Setup
    EventMessageFile    REG_EXPAND_SZ    C:\Zantorelle\Setup\zrlsetup.exe
    TypesSupported    REG_DWORD    0x7
EOF

runs uninstall
check "the uninstall reports too" grep -q ':eventlog:ReportEventW L"uninstall"$' <(reported)
check "and removes the registration" bash -c "! '$WINE' reg query '$source_key' >/dev/null 2>&1"
finish
