#!/bin/bash
# The log dialog as a user sees it: shown when a run logged errors or Shift is
# held, owned by the window given on the command line, read-only.
. "$(dirname "$0")/lib.sh"
new_prefix_with_display log-dialog
out=$ZRL_WORK/log-dialog.out

read_dialog "$out" -- uninstall
check "clean uninstall without Shift exits 2" [ "$code" = 2 ]
check "and shows nothing" grep -qx "no log dialog" "$out"

# Shift last but one: Wine may keep it down after the run.
read_dialog "$out" --shift -- install
check "clean install with Shift exits 1" [ "$code" = 1 ]
check "it shows the log" grep -qx 'caption: Zantorelle build 2026- Install log.' "$out"
check "owned by the given window" grep -qx 'owned by host: yes' "$out"
check "read-only" grep -qx 'read-only: yes' "$out"
check "vertical scroll bar" grep -qx 'vertical scroll bar: yes' "$out"
check "no wrapping" grep -qx 'wraps: no' "$out"
check "the log text" diff <(sed -n '/^text:$/,/^end of text$/p' "$out" | head -n 4) \
    <(printf 'text:\nZantorelle 2026\n>Check Spooler\n>ReInstall\n')

# Without its spooler service the run logs error 2 and must show it.
"$WINE" sc.exe stop spooler >/dev/null 2>&1
"$WINE" sc.exe delete spooler >/dev/null 2>&1
read_dialog "$out" -- uninstall
check "uninstall with an error exits 100" [ "$code" = 100 ]
check "error caption, also for an uninstall" \
    grep -qx 'caption: Zantorelle build 2026- Install error log!' "$out"
check "the error line" grep -q '^  Error(2): Can.t open the spooler' "$out"
finish
