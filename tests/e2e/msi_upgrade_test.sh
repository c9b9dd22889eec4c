#!/bin/bash
# A major upgrade from a package of an older build keeps the user's printers,
# the default and the tray program, and leaves one product registered; the
# older package then refuses to go back over the newer one.
. "$(dirname "$0")/lib.sh"
new_prefix msi-upgrade
copy_package
"$ZRL_PACKAGE_DIR/make-msi.sh" 1.0.2025 "$WINEPREFIX/drive_c/older.msi" >/dev/null 2>&1
versions() {
    "$WINE" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
        tr -d '\r' | sed -n 's/^ *DisplayVersion *REG_SZ *//p'
}

msiexec /i 'C:\older.msi'
check "1.0.2025 installs" [ "$code" = 0 ]
add_user_printers
msiexec /i "$PACKAGE_WIN"
check "upgrade: msiexec exits 0" [ "$code" = 0 ]
check "upgrade: the tray program is stopped before the old files go, the printers are not" \
    diff <(msi_lines) <(ended removetray 6; ended install 1)
check "upgrade: every product printer is back with its data, and the default" \
    diff <(state printers default) <(user_printers)
check "upgrade: the tray program runs" tray running
check "upgrade: only 1.0.2026 is registered" diff <(versions) <(echo 1.0.2026)

msiexec /i 'C:\older.msi'
check "the older package refuses to replace the newer one" [ "$code" = 1603 ]
check "and it does not touch the printers" diff <(state printers default) <(user_printers)
msiexec /x "$PACKAGE_WIN"
check "removal after the upgrade: msiexec exits 0" [ "$code" = 0 ]
check_nothing_left "removal after the upgrade"
finish
