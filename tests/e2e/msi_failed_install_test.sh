#!/bin/bash
# Installs that fail for real, through a folder where the installer must write
# a file: a first install reports failure and leaves nothing of the product;
# a failed repair reports failure and keeps the user's printers, which a
# removal then takes away with the rest.
# Windows' msiexec exits 1603 when a custom action fails; Wine's exits 1627
# for some kinds of custom action (1603 for this DLL's): both mean "the
# installation failed".
. "$(dirname "$0")/lib.sh"
new_prefix msi-failed-install
cp "$ZRL_PACKAGE_DIR/Zantorelle.msi" "$WINEPREFIX/drive_c/"
failed() { [ "$code" = 1603 ] || [ "$code" = 1627 ]; }
monitor_dll=$WINEPREFIX/drive_c/windows/system32/zrlmon64.dll
staged_help=$WINEPREFIX/drive_c/windows/system32/spool/drivers/x64/zrlhelp.chm

mkdir "$monitor_dll"
msiexec /i 'C:\Zantorelle.msi'
check "first install: msiexec reports failure" failed
check "first install: the MSI log names the exit code, the event log and the clean-up" \
    diff <(msi_lines) - <<EOF
$(ended install 100)
Zantorelle: the installer wrote the log of this run to the Windows Application event log (source "Zantorelle Setup").
Zantorelle: the first install failed; what it left in the spooler is removed.
$(ended uninstall 2)
EOF
rmdir "$monitor_dll"
check_nothing_left "failed first install"

msiexec /i 'C:\Zantorelle.msi'
check "install: msiexec exits 0" [ "$code" = 0 ]
add_user_printers
# The help file, not the driver: without its driver files the reinstall
# could not bring any printer back, whatever the package does.
mkdir -p "$staged_help"
msiexec /i 'C:\Zantorelle.msi' REINSTALL=ALL REINSTALLMODE=a
check "failed repair: msiexec reports failure" failed
check "failed repair: no clean-up" diff <(msi_lines) - <<EOF
$(ended removetray 6)
$(ended install 100)
Zantorelle: the installer wrote the log of this run to the Windows Application event log (source "Zantorelle Setup").
EOF
check "failed repair: the user's printers and default are kept" \
    diff <(state printers default) <(user_printers)
rmdir "$staged_help"
msiexec /x 'C:\Zantorelle.msi'
check "removal: msiexec exits 0, the MSI log names the installer's exit code" \
    diff <(echo "$code"; msi_lines) <(echo 0; ended uninstall 2)
check_nothing_left removal
finish
