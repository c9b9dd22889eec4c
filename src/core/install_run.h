// The record of one install or uninstall run. It needs nothing above the ground
// floor: the spooler's records are only pointed to, so that set-up and
// tear-down (src/app/run_setup.cpp) can compose the other subsystems without
// an include loop.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "core/counted_string.h"

struct DeferredDelete;
struct SavedPrinter;

struct InstallRun {
    CountedString sourceDir;
    CountedString systemDir;
    CountedString logText;
    CountedString driverDir;
    const wchar_t* environment;
    const wchar_t* monitorDll;
    const wchar_t* driverDll;
    const wchar_t* helpFile;
    const wchar_t* uiDll;
    BYTE checkMonitorVersion;
    // Named as the log prints them.
    BYTE InstallMonitor;
    BYTE CopyMonitor;
    INT32 errorCount;
    INT32 logDepth;
    DeferredDelete* deferredDeletes;
    SavedPrinter* savedPrinters;
    PRINTER_INFO_2W* printers;
    UINT32 printerCount;
    PRINTER_INFO_2W** movedPrinters;
    // Why the default printer could not be read at set-up, or 0. A reinstall
    // that cannot tell which printer is the default keeps the product's
    // printers rather than lose that mark.
    DWORD defaultPrinterError;
    // Set when an install's checks refused it before it changed anything.
    BYTE refused;
    // Set once the spooler refused to read a printer's security descriptor
    // (level 3): it keeps none (Wine), and the other printers are not asked.
    BYTE spoolerKeepsNoSecurity;
    // Whether SeSecurityPrivilege could be enabled for the printers' auditing
    // entries: 0 not asked yet, 1 yes, 2 no (auditingError says why).
    BYTE auditing;
    DWORD auditingError;
    // Set once the run has said that it cannot carry auditing entries.
    BYTE auditingSaid;
};
