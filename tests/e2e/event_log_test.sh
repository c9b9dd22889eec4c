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
# A setup folder that lost the driver DLL, or holds one cut short: the install
# is refused before it changes anything, and says which file is wrong.
setup_dir=$WINEPREFIX/drive_c/Zantorelle/Setup
cp "$ZRL_STAGE/Zantorelle/Setup/zrlhelp.chm" "$setup_dir/"
report check
check "check before an install: nothing stops it (1004, exit 1)" \
    diff <(echo "$code"; head -n2 "$out") - <<<$'1\nevent 0x0004 0x000003ec\nL"check"'
expect_code 1 install
spooler_setup add-printer Office "Second floor" "Room 12" abc
spooler_setup set-default Office
before=$(state monitors drivers printers default run)
mv "$setup_dir/zrldrv64.dll" "$ZRL_WORK/zrldrv64.dll"
report install
check "an install without the driver DLL is refused (1003, exit 103)" \
    diff <(echo "$code"; head -n4 "$out") - <<'END'
103
event 0x0001 0x000003eb
L"install"
L"103"
L"the install was refused before it changed anything"
END
check "its error names the file" grep -qF \
    "Error(23): The printer component 'C:\\\\Zantorelle\\\\Setup\\\\zrldrv64.dll' is missing from the installer's folder or cannot be read - (File not found.)" "$out"
check "and the spooler is as it was" diff <(state monitors drivers printers default run) - <<<"$before"
head -c 4096 "$ZRL_WORK/zrldrv64.dll" >"$setup_dir/zrldrv64.dll"
report check
check "check with a driver DLL cut short: refused (1005, exit 103)" \
    diff <(echo "$code"; head -n1 "$out"; grep -c "is not a whole x64 DLL: it is damaged or cut short" "$out") - \
    <<<$'103\nevent 0x0001 0x000003ed\n2'
expect_code 103 install
check "and so is the install, changing nothing" \
    diff <(state monitors drivers printers default run) - <<<"$before"
finish
