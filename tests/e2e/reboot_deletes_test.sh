#!/bin/bash
# Leftovers handed to Windows for deletion at the next restart are gone after
# one: the prefix's wineserver is ended and started again, as a reboot.
. "$(dirname "$0")/lib.sh"
new_prefix reboot-deletes
dir=$WINEPREFIX/drive_c/zrl-scheduled

ZRL_WINEPREFIX=$WINEPREFIX ZRL_KEEP_SCHEDULED=1 "$ZRL_BUILD/wine-run.sh" \
    "$ZRL_BUILD/tests/app_tests.exe" --gtest_filter='Scheduling.*' >"$ZRL_WORK/reboot.out" 2>&1
check "two of three leftovers were scheduled" [ $? = 0 ]
check "nothing is deleted before the restart" [ -f "$dir/one.dll" -a -f "$dir/three.dll" ]
restart_prefix
check "the scheduled files are gone after the restart" [ ! -e "$dir/one.dll" -a ! -e "$dir/three.dll" ]
check "the refused one stays" [ -f "$dir/refused.dll" ]
finish
