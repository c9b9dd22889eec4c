#!/bin/bash
# A monitor DLL locked at uninstall is scheduled for deletion at the next
# restart; an install before that restart must keep the DLL it puts there.
. "$(dirname "$0")/lib.sh"
new_prefix locked-monitor
dll=$WINEPREFIX/drive_c/windows/system32/zrlmon64.dll
dump() { "$WINE" "$ZRL_TOOLS/state_dump.exe" "$@" 2>/dev/null | tr -d '\r'; }

expect_code 1 install
"$WINE" "$ZRL_TOOLS/spooler_setup.exe" hold 'C:\windows\system32\zrlmon64.dll' 30 \
    >"$ZRL_WORK/hold.out" 2>&1 &
holder=$!
for _ in $(seq 100); do grep -q holding "$ZRL_WORK/hold.out" && break; sleep 0.1; done
expect_code 101 uninstall
check "the locked monitor DLL is scheduled for deletion" \
    grep -qi 'zrlmon64.dll' <(dump pending)
kill $holder 2>/dev/null
wait $holder 2>/dev/null

expect_code 1 install
check "the install takes that deletion back" \
    bash -c "! grep -qi 'zrlmon64.dll' <(\"$WINE\" \"$ZRL_TOOLS/state_dump.exe\" pending | tr -d '\r')"
restart_prefix
check "after a restart the monitor DLL is still there" [ -f "$dll" ]
check "and the monitor is registered" grep -qx 'monitor "Zantorelle:" dll="zrlmon64.dll"' <(dump monitors)
finish
