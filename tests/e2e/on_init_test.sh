#!/bin/bash
# "onInit": 200 while one of the product's files still waits for a pending
# operation; otherwise 102 or 3 from the default printer.
. "$(dirname "$0")/lib.sh"
new_prefix on-init
own_layout
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

# A rename is never carried out: its source stays, in any letter case a find.
cp "$ZRL_STAGE/Zantorelle/Setup/zrlui64.dll" "$dir/ZRLUI64.DLL"
spooler_setup pending '\??\C:\zrl-pending\ZRLUI64.DLL' '\??\C:\zrl-pending\renamed.dll'
expect_code 200 onInit
check "the renamed file is still there" [ -f "$dir/ZRLUI64.DLL" ]
check "the pending operations are left as they were" diff <(state pending) - <<'EOF'
pending "\??\C:\zrl-pending\zrlmon64.dll" ""
pending "\??\C:\zrl-pending\ZRLUI64.DLL" "\??\C:\zrl-pending\renamed.dll"
EOF
finish
