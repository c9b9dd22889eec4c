#!/bin/bash
# "onInit": 200 while one of the product's files still waits for a pending
# operation; otherwise 102 or 3 from the default printer.
. "$(dirname "$0")/lib.sh"
new_prefix on-init
dir=$WINEPREFIX/drive_c/zrl-pending
mkdir -p "$dir"

expect_code 102 onInit
expect_code 1 install
spooler_setup set-default Zantorelle
expect_code 3 onInit

# A pending deletion that can be done now is done, and no longer counts.
cp "$ZRL_STAGE/Zantorelle/Setup/zrlmon64.dll" "$dir/zrlmon64.dll"
spooler_setup pending '\??\C:\zrl-pending\zrlmon64.dll'
expect_code 3 onInit
check "the pending deletion was carried out" [ ! -e "$dir/zrlmon64.dll" ]
check "and is still listed: the value is never written" diff <(state pending) - <<'EOF'
pending "\??\C:\zrl-pending\zrlmon64.dll" ""
EOF

# spooler_setup drops the empty target of a deletion it appends after: the
# next case starts without the value.
"$WINE" reg delete 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager' \
    /v PendingFileRenameOperations /f >/dev/null 2>&1

# A rename is never carried out: its source stays, in any letter case a find.
cp "$ZRL_STAGE/Zantorelle/Setup/zrlui64.dll" "$dir/ZRLUI64.DLL"
spooler_setup pending '\??\C:\zrl-pending\ZRLUI64.DLL' '\??\C:\zrl-pending\renamed.dll'
expect_code 200 onInit
check "the file to rename is still there" [ -f "$dir/ZRLUI64.DLL" ]
check "and its rename still listed" diff <(state pending) - <<'EOF'
pending "\??\C:\zrl-pending\ZRLUI64.DLL" "\??\C:\zrl-pending\renamed.dll"
EOF
finish
