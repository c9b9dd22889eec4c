#!/bin/bash
# A major upgrade from a package of an older build keeps the user's printers,
# the default and the tray program, and leaves one product registered. Its
# removal with the monitor DLL in use asks for a restart, after which nothing
# of the product is left.
. "$(dirname "$0")/lib.sh"
new_prefix msi-upgrade
copy_package
make_older_package
versions() {
    "$WINE" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
        tr -d '\r' | sed -n 's/^ *DisplayVersion *REG_SZ *//p'
}

msiexec /i "$OLDER_WIN"
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

"$WINE" "$ZRL_TOOLS/spooler_setup.exe" hold 'C:\windows\system32\zrlmon64.dll' 30 \
    >"$ZRL_WORK/msi-hold.out" 2>&1 &
holder=$!
for _ in $(seq 100); do grep -q holding "$ZRL_WORK/msi-hold.out" && break; sleep 0.1; done
msiexec /x "$PACKAGE_WIN"
kill $holder
wait $holder 2>/dev/null
check "removal, monitor DLL in use: msiexec asks for a restart" [ "$code" = 3010 ]
check "removal, monitor DLL in use: the MSI log says why" diff <(msi_lines) - <<EOF
$(ended uninstall 101)
Zantorelle: files are deleted at the next restart; a restart is requested.
EOF
restart_prefix
check_nothing_left "removal and a restart"
finish
