#!/bin/bash
# A fresh install, an uninstall after it, and "removetray" with the tray
# program running and not running: each run exits with its success code and
# stops no spooler.
. "$(dirname "$0")/lib.sh"
new_prefix_with_display lifecycle
out=$ZRL_WORK/lifecycle.out
system32=$WINEPREFIX/drive_c/windows/system32

expect_code 1 install
check "fresh install: monitor, driver, printer, tray value" \
    diff <(state monitors drivers printers default run pending) - <<'EOF'
monitor "Local Port" dll="localspl.dll"
monitor "Zantorelle:" dll="zrlmon64.dll"
driver "Zantorelle printer" version=3 driver="zrldrv64.dll" config="zrlui64.dll" data="zrldrv64.dll" help="zrlhelp.chm"
printer "Zantorelle" driver="Zantorelle printer" port="Zantorelle:" processor="WinPrint" comment="" location=none subkey=none dsuser-subkey=none
default none
run ZantorelleTray="C:\Zantorelle\zantray.exe"
pending none
EOF
check "the product port" diff <(state ports | grep Zantorelle) - \
    <<<'port "Zantorelle:" monitor="Zantorelle:"'
check "the monitor DLL is in the system directory" \
    cmp "$system32/zrlmon64.dll" "$ZRL_STAGE/Zantorelle/Setup/zrlmon64.dll"
check "the tray program runs" tray running

read_dialog "$out" --shift -- uninstall
check "uninstall after an install exits 2" [ "$code" = 2 ]
check "without an error or a spooler restart" \
    diff <(log_text "$out" | grep -e 'Error(' -e 'Restart Spooler') /dev/null
check "the driver goes at the first try" \
    diff <(log_text "$out" | sed -n '/Driver is found/,/^  >/p') - <<'EOF'
    Driver is found. Index=1
    OK :)
  >DeleteMonitor
EOF
check "uninstall: nothing of the product stays" \
    diff <(state monitors drivers printers default run pending) - <<'EOF'
monitor "Local Port" dll="localspl.dll"
default none
run ZantorelleTray=none
pending none
EOF
check "nor the driver's files" \
    diff <(ls "$WINEPREFIX/drive_c/windows/system32/spool/drivers/x64/3" | grep -i '^zrl') /dev/null
check "no product port" diff <(state ports | grep Zantorelle) /dev/null
check "the monitor DLL is deleted" [ ! -e "$system32/zrlmon64.dll" ]
check "the tray program has ended" tray ended
check "its executable is deleted" [ ! -e "$TRAY_EXE" ]

# The setup package brings the tray program back before it installs.
cp "$ZRL_STAGE/Zantorelle/zantray.exe" "$TRAY_EXE"
expect_code 1 install
check "the tray program runs again" tray running
expect_code 1 install
check "a reinstall keeps it, and it runs again" tray running
expect_code 6 removetray
check "removetray ends the running tray program" tray ended
check "and deletes its executable" [ ! -e "$TRAY_EXE" ]
check "and its Run value" diff <(state run) - <<<'run ZantorelleTray=none'

# Not running, but registered: the executable and the value still go.
cp "$ZRL_STAGE/Zantorelle/zantray.exe" "$TRAY_EXE"
"$WINE" reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v ZantorelleTray \
    /d 'C:\Zantorelle\zantray.exe' /f >/dev/null 2>&1
expect_code 6 removetray
check "removetray without the tray program deletes its executable" [ ! -e "$TRAY_EXE" ]
check "and its Run value" diff <(state run) - <<<'run ZantorelleTray=none'
finish
