#!/bin/bash
# Files that cannot be deleted during a reinstall: a staged driver copy still
# held at the end is scheduled for deletion at the next restart; the old
# monitor DLL held after the uninstall half is dropped (the install writes it
# anew). A file is held the way a process using it would: without delete sharing.
. "$(dirname "$0")/lib.sh"
new_prefix_with_display leftovers
out=$ZRL_WORK/leftovers.out
staged='C:\windows\system32\spool\drivers\x64\zrldrv64.dll'
monitor='C:\windows\system32\zrlmon64.dll'
shipped_monitor=Zantorelle/Setup/zrlmon64.dll

# hold PATH: keeps PATH open for a minute; $holder is the holding process.
hold() {
    spooler_setup hold "$1" 60 >"$out.hold" &
    holder=$!
    for _ in $(seq 100); do
        grep -q holding "$out.hold" 2>/dev/null && return
        sleep 0.05
    done
}

release() {
    kill "$holder"
    wait "$holder" 2>/dev/null
}

# Only Shift shows the log of a run without errors.
hold "$staged"
read_dialog "$out" --shift -- install
check "fresh install with a held staged copy exits 101" [ "$code" = 101 ]
check "no error" diff <(log_text "$out" | grep 'Error(') /dev/null
check "the end of the reinstall retries, restarts, retries" \
    diff <(log_text "$out" | sed -n '/^    >AddPrinter/,$p') - <<'EOF'
    >AddPrinter(Zantorelle)
      Let's check our port monitors
      Port monitor is found
      OK :)
    DeleteFile-try
    >Restart Spooler
    DeleteFile-try
EOF
check "the staged copy is scheduled" diff <(state pending) - <<'EOF'
pending "\??\C:\windows\system32\spool\drivers\x64\zrldrv64.dll" ""
EOF
release
restart_prefix
check "after a restart the staged copy is gone" \
    [ ! -e "$WINEPREFIX/drive_c/windows/system32/spool/drivers/x64/zrldrv64.dll" ]
check "and nothing is pending" diff <(state pending) - <<<'pending none'

# An installed monitor of an unsupported build is removed, its DLL with it.
cp "$ZRL_STAND_INS/zrlmon64-1213.dll" "$WINEPREFIX/drive_c/windows/system32/zrlmon64.dll"
hold "$monitor"
read_dialog "$out" --shift -- install
check "reinstall with a held monitor DLL exits 1" [ "$code" = 1 ]
check "no error" diff <(log_text "$out" | grep 'Error(') /dev/null
check "after the uninstall half: retry, restart, retry" \
    diff <(log_text "$out" | sed -n '/Version (1213)/,/^    >AddMonitor$/p') - <<'EOF'
        Version (1213) is not supported, proceed with reinstall
        Monitor was removed :)
      DeleteFile-try
    >Restart Spooler
    DeleteFile-try
    >AddMonitor
EOF
check "the held monitor DLL is dropped, not scheduled" diff <(state pending) - <<<'pending none'
check "and written anew by the install" \
    cmp "$WINEPREFIX/drive_c/windows/system32/zrlmon64.dll" "$ZRL_STAGE/$shipped_monitor"
release
finish
