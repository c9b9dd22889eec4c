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

# The internal steps a run as SYSTEM starts as each signed-in user, run here
# as Wine's one user: "user.default" answers 16 + k for the k-th name that is
# the default (16: none of them), "user.restore" makes a printer that is there
# the default again (17; 16 when it is not there) and clears the marks of the
# product's printers. A name they do not take fails them with 0x20000000 | 87
# (the shell sees 87), having done nothing.
spooler_setup add-printer Other
spooler_setup set-default Other
"$WINE" reg add "$settings" /v deleted /d yes /f >/dev/null 2>&1
expect_code 16 user.default Office
expect_code 87 user.restore Office "$(printf 'x%.0s' {1..255})"
check "a step with a name it does not take changes no default" \
    diff <(state default) - <<<'default "Other"'
check "and no mark" "$WINE" reg query "$settings" /v deleted
expect_code 16 user.restore Gone
check "a printer that is not there is not made the default" \
    diff <(state default) - <<<'default "Other"'
"$WINE" reg add "$settings" /v deleted /d yes /f >/dev/null 2>&1
expect_code 17 user.restore Office
expect_code 18 user.default Other Office Office
check "the step gives the default back" diff <(state default) - <<<'default "Office"'
check "and clears the mark" \
    diff <("$WINE" reg query "$settings" 2>/dev/null | tr -d '\r' | grep REG_) - <<'EOF'
    Resolution    REG_SZ    600
EOF
expect_code 6 USER.DEFAULT Office
finish
