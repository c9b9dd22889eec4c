#!/bin/bash
# The package under Wine's msiexec: a silent install starts the tray program,
# a repair brings every product printer back with its data and the default,
# and a removal leaves nothing of the product behind.
. "$(dirname "$0")/lib.sh"
new_prefix msi-lifecycle
copy_package

msiexec /i "$PACKAGE_WIN"
check "install: msiexec exits 0" [ "$code" = 0 ]
check "install: the MSI log names the installer's exit code" diff <(msi_lines) <(ended install 1)
check "install: monitor, driver, printer, tray value" \
    diff <(state monitors drivers printers run) - <<'EOF'
monitor "Local Port" dll="localspl.dll"
monitor "Zantorelle:" dll="zrlmon64.dll"
driver "Zantorelle printer" version=3 driver="zrldrv64.dll" config="zrlui64.dll" data="zrldrv64.dll" help="zrlhelp.chm"
printer "Zantorelle" driver="Zantorelle printer" port="Zantorelle:" processor="WinPrint" comment="" location=none subkey=none dsuser-subkey=none
run ZantorelleTray="C:\Program Files\Zantorelle\zantray.exe"
EOF
check "install: the tray program runs" tray running
check "install: the product is registered once" [ "$(registered)" = 1 ]
make_older_package
msiexec /i "$OLDER_WIN"
check "an older build refuses to replace it" [ "$code" = 1603 ]
check "and leaves the product as it was" [ "$(registered)" = 1 ]

add_user_printers
# Wine's msiexec cannot repair with /fa (it takes the package for a product
# code, and a product code for "not implemented"): these are what /fa sets.
msiexec /i "$PACKAGE_WIN" REINSTALL=ALL REINSTALLMODE=a
check "repair: msiexec exits 0" [ "$code" = 0 ]
check "repair: the tray program is stopped before its file is replaced" \
    diff <(msi_lines) <(ended removetray 6; ended install 1)
check "repair: every product printer is back with its data, and the default" \
    diff <(state printers default) <(user_printers)
check "repair: the tray program runs" tray running

msiexec /x "$PACKAGE_WIN"
check "removal: msiexec exits 0" [ "$code" = 0 ]
check "removal: the MSI log names the installer's exit code" diff <(msi_lines) <(ended uninstall 2)
check_nothing_left removal
finish
