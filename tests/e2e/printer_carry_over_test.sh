#!/bin/bash
# A reinstall brings the product printer that a user set up back as it was:
# name, comment, location, settings key (freed of its "deleted" mark) and its
# place as the default printer.
. "$(dirname "$0")/lib.sh"
new_prefix_with_display carry-over
out=$ZRL_WORK/carry-over.out
settings='HKCU\Software\Dravish Software KFT\Zantorelle\Zantorelles\abc'

expect_code 1 install
spooler_setup add-printer Office "Second floor" "Room 12" abc
spooler_setup set-default Office
"$WINE" reg add "$settings" /v deleted /d yes /f >/dev/null 2>&1
"$WINE" reg add "$settings" /v Resolution /d 600 /f >/dev/null 2>&1

read_dialog "$out" --shift -- install
check "reinstall exits 1" [ "$code" = 1 ]
check "its log was shown" grep -qx 'caption: Zantorelle build 2026- Install log.' "$out"
check "without an error or a spooler restart" \
    diff <(log_text "$out" | grep -e 'Error(' -e 'Restart Spooler') /dev/null
# The fallback printer had no SubKey: it is not brought back, and none is
# added while Office was.
check "Office is back as it was, and the default" diff <(state printers default) - <<'EOF'
printer "Office" driver="Zantorelle printer" port="Zantorelle:" processor="WinPrint" comment="Second floor" location="Room 12" subkey="abc" dsuser-subkey="abc"
default "Office"
EOF
check "its settings lost the deleted mark, nothing else" diff \
    <("$WINE" reg query "$settings" 2>/dev/null | tr -d '\r' | grep REG_) - <<'EOF'
    Resolution    REG_SZ    600
EOF
check "monitor, driver and tray value are registered" diff <(state monitors drivers run) - <<'EOF'
monitor "Local Port" dll="localspl.dll"
monitor "Zantorelle:" dll="zrlmon64.dll"
driver "Zantorelle printer" version=3 driver="zrldrv64.dll" config="zrlui64.dll" data="zrldrv64.dll" help="zrlhelp.chm"
run ZantorelleTray="C:\Zantorelle\zantray.exe"
EOF
# The Run value names the executable the reinstall registers again: it stays,
# and runs again.
check "the tray executable stays" [ -e "$TRAY_EXE" ]
check "and the tray program runs" tray running

# The internal steps a run as SYSTEM starts as each signed-in user, here as
# Wine's one user: 16 + k for the k-th name that is the default, 17 for the
# default given back; their words are matched exactly.
spooler_setup add-printer Other
spooler_setup set-default Other
expect_code 18 user.default Gone Other
expect_code 17 user.restore Office
check "the restore step gives the default back" diff <(state default) - <<<'default "Office"'
expect_code 6 USER.DEFAULT Office
finish
