#!/bin/bash
# A reinstall cut off while printers are out of the spooler (a deployment
# tool's time-out, a crash, the power gone), then one more install: every
# printer is back with its comment, location, settings and default mark, one
# an administrator dressed with everything else too (share, priorities,
# hours, separator page, attributes, print defaults, printer data), and the
# journal that carried them is gone.
. "$(dirname "$0")/lib.sh"
new_prefix cut-off
journal='HKLM\SOFTWARE\Dravish Software KFT\Zantorelle\Printers in transit'

expect_code 1 install
for i in $(seq 1 12); do
    spooler_setup add-printer "Office $i" "Comment $i" "Room $i" "key$i"
done
spooler_setup set-default "Office 7"
spooler_setup dress "Office 3"
# A driver that nests its settings 20 keys deep.
deep='Zantorelle\Nested'$(printf '\\%d' $(seq 3 20))
spooler_setup data "Office 3" "$deep" Depth 20
# The fallback printer of the first install has no settings: a reinstall
# does not bring it back.
printers() { state printers details default | grep -v '^[a-z]* "Zantorelle"'; }
before=$(printers)
check "Office 3 is dressed" grep -q '^details "Office 3" share="Office 3 share" attributes=0x308 priority=42/7 hours=60-1200 separator="C:\\windows\\system32\\sysprint.sep" .* paper=9 orientation=2 copies=3 data=PrinterDriverData\\Duplex:1:.*, PrinterDriverData\\Tray:4:02000000, Zantorelle\\Nested\\3\\.*\\20\\Depth:1:.*, Zantorelle\\Profiles\\Last:3:5a00ff$' <<<"$before"
# A Point and Print module anyone who may manage the printer can register:
# the spooler's own key, which a reinstall never replays.
spooler_setup data "Office 3" 'CopyFiles\Chaos' Module 'C:\planted.dll'
check "the module is registered" grep -q 'CopyFiles\\Chaos\\Module' <(printers)

# cut_off N: the reinstall, killed once no more than N product printers are left.
cut_off() {
    "$WINE" "$ZRL_TOOLS/cut_off.exe" "$1" "$SETUP_EXE" install </dev/null 2>&1 | tr -d '\r'
}
journaled() {
    "$WINE" reg query "$journal" 2>/dev/null | tr -d '\r' | grep -c 'REG_BINARY'
}

check "cut off half-way" grep -q '^cut off with [0-6] product printers left$' <(cut_off 6)
check "the printers out of the spooler are in the journal" \
    [ "$(journaled)" -ge $((12 - $(state printers | grep -c '^printer "Office'))) ]
expect_code 1 install
check "after one more install every printer is back as it was" diff <(printers) - <<<"$before"
check "and the journal is gone" [ "$(journaled)" = 0 ]

check "cut off with every printer out" grep -qx 'cut off with 0 product printers left' \
    <(cut_off 0)
check "every one is in the journal" [ "$(journaled)" = 12 ]
expect_code 1 install
check "after one more install every printer is back again" diff <(printers) - <<<"$before"
check "and the journal is gone again" [ "$(journaled)" = 0 ]

# An uninstall takes the printers away for good, in transit or not.
cut_off 0 >/dev/null
expect_code 2 uninstall
check "an uninstall leaves no printer" diff <(state printers) /dev/null
check "and no journal" [ "$(journaled)" = 0 ]
finish
