#!/bin/bash
# The whole log of a reinstall over two product printers and a port monitor
# of an unsupported build: every block at its depth, the printers re-created
# last one first, and no leftovers (so no restart at the procedure's level).
. "$(dirname "$0")/lib.sh"
new_prefix_with_display reinstall-log
out=$ZRL_WORK/reinstall-log.out
monitor=$WINEPREFIX/drive_c/windows/system32/zrlmon64.dll

expect_code 1 install
spooler_setup add-printer A "" "" a1
spooler_setup add-printer B "" "" b2
cp "$ZRL_STAND_INS/zrlmon64-1213.dll" "$monitor"

read_dialog "$out" --shift -- install
check "reinstall exits 1" [ "$code" = 1 ]
check "the log, line by line" diff <(log_text "$out") - <<'EOF'
Zantorelle 2026
>Check Spooler
>ReInstall
    >UnInstall
      EnumMonitors
      2 Monitors found.
      EnumPrinterDrivers for Windows x64
      1 drivers found
      >DeleteAllPrinters
        >DeletePrinter(A)
          OK
        >DeletePrinter(B)
          OK
        >DeletePrinter(Zantorelle)
          OK
      >DeletePrinterDriver for Windows x64
        ------------ 1 existing drivers-----------
        1. Zantorelle printer
        -------------------------------------------
        Driver is found. Index=1
        OK :)
      >DeleteMonitor
        ------- 2 existing monitors ----------
        1. Local Port
        2. Zantorelle:
        ---------------------------------------
        Port monitor is found. Index=2
        Trying to get monitor filename from MONITOR_INFO_2
        Auto calculated monitor file name: C:\windows\system32\zrlmon64.dll
        Version (1213) is not supported, proceed with reinstall
        Monitor was removed :)
    >AddMonitor
      Copy monitor file
      >CopyFile zrlmon64.dll to C:\windows\system32\ [0])
        Copy Succeeded :)
      AddMonitor - OK :)
    >Add Printer Driver
      >CopyFile zrldrv64.dll to C:\windows\system32\spool\drivers\x64\ [1])
        Copy Succeeded :)
      >CopyFile zrlui64.dll to C:\windows\system32\spool\drivers\x64\ [1])
        Copy Succeeded :)
      >CopyFile zrlhelp.chm to C:\windows\system32\spool\drivers\x64\ [1])
        Copy Succeeded :)
      OK :)
    >AddPrinter(B)
      Let's check our port monitors
      Port monitor is found
      OK :)
    >AddPrinter(A)
      Let's check our port monitors
      Port monitor is found
      OK :)
EOF
check "A and B are back, the fallback printer is not" diff <(state printers) - <<'EOF'
printer "A" driver="Zantorelle printer" port="Zantorelle:" processor="WinPrint" comment="" location="" subkey="a1" dsuser-subkey="a1"
printer "B" driver="Zantorelle printer" port="Zantorelle:" processor="WinPrint" comment="" location="" subkey="b2" dsuser-subkey="b2"
EOF
check "the monitor DLL is this build's again" \
    cmp "$monitor" "$ZRL_STAGE/Zantorelle/Setup/zrlmon64.dll"
finish
