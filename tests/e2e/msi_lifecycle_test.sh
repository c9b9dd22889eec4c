#!/bin/bash
# The package under Wine's msiexec: a silent install of an older build, a
# major upgrade and a repair keep the user's printers, their default and the
# tray program; an older build cannot go back over a newer one; a removal
# with the monitor DLL in use asks for a restart, after which nothing of the
# product is left.
. "$(dirname "$0")/lib.sh"
new_prefix msi-lifecycle
cp "$ZRL_PACKAGE_DIR/Zantorelle.msi" "$WINEPREFIX/drive_c/"
"$ZRL_PACKAGE_DIR/make-msi.sh" 1.0.2025 "$WINEPREFIX/drive_c/older.msi" >/dev/null 2>&1

msiexec /i 'C:\older.msi'
check "install: msiexec exits 0, the MSI log names the installer's exit code" \
    diff <(echo "$code"; msi_lines) <(echo 0; ended install 1)
check "install: monitor, driver, printer, tray value" \
    diff <(state monitors drivers printers run) - <<'EOF'
monitor "Local Port" dll="localspl.dll"
monitor "Zantorelle:" dll="zrlmon64.dll"
driver "Zantorelle printer" version=3 driver="zrldrv64.dll" config="zrlui64.dll" data="zrldrv64.dll" help="zrlhelp.chm"
printer "Zantorelle" driver="Zantorelle printer" port="Zantorelle:" processor="WinPrint" comment="" location=none subkey=none dsuser-subkey=none
run ZantorelleTray="C:\Program Files\Zantorelle\zantray.exe"
EOF
check "install: the tray program runs" tray running

add_user_printers
# Wine's msiexec cannot repair with /fa (it takes the package for a product
# code, and a product code for "not implemented"): these are what /fa sets.
for run in upgrade repair; do
    [ $run = upgrade ] && msiexec /i 'C:\Zantorelle.msi'
    [ $run = repair ] && msiexec /i 'C:\Zantorelle.msi' REINSTALL=ALL REINSTALLMODE=a
    check "$run: msiexec exits 0, the tray program is stopped before its file is replaced" \
        diff <(echo "$code"; msi_lines) <(echo 0; ended removetray 6; ended install 1)
    # The install's own printer has no settings key: a reinstall drops it.
    check "$run: the user's printers are back with their data, and the default" \
        diff <(state printers default) <(user_printers)
    check "$run: the tray program runs" tray running
    check "$run: only 1.0.2026 is registered" diff <(versions) <(echo 1.0.2026)
done
msiexec /i 'C:\older.msi'
check "an older build is refused" [ "$code" = 1603 ]
check "by its launch condition" grep -q "LaunchConditions. Return value 0" "$MSI_LOG"

"$WINE" "$ZRL_TOOLS/spooler_setup.exe" hold 'C:\windows\system32\zrlmon64.dll' 30 \
    >"$ZRL_WORK/msi-hold.out" 2>&1 &
holder=$!
for _ in $(seq 100); do grep -q holding "$ZRL_WORK/msi-hold.out" && break; sleep 0.1; done
msiexec /x 'C:\Zantorelle.msi'
kill $holder
wait $holder 2>/dev/null
check "removal, monitor DLL in use: msiexec asks for a restart, the MSI log says why" \
    diff <(echo "$code"; msi_lines) - <<EOF
3010
$(ended uninstall 101)
Zantorelle: files are deleted at the next restart; a restart is requested.
EOF
restart_prefix
check_nothing_left "removal and a restart"
finish
