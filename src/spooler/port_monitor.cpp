#include "spooler/port_monitor.h"

#include <wchar.h>

#include "core/counted_string.h"
#include "core/deferred_delete.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "files/file_copy.h"
#include "service/spooler_service.h"
#include "spooler/winspool_api.h"

namespace {

// The port that every spooler has: printers wait there while the product's
// monitor is replaced.
constexpr wchar_t kFilePort[] = L"file:";
constexpr SIZE_T kFilePortChars = sizeof(kFilePort) / sizeof(wchar_t) - 1;
constexpr SIZE_T kProductPortChars = sizeof(kPortName) / sizeof(wchar_t) - 1;
constexpr SIZE_T kPortNameGrowth = kProductPortChars - kFilePortChars;
constexpr int kAddMonitorTries = 5;
constexpr DWORD kAddMonitorPauseMs = 50;

bool HasPort(const wchar_t* portList, const wchar_t* port) {
    return portList && wcsstr(portList, port);
}

// The text after the product port moves left, so the entry's string shrinks
// in the spooler's block and keeps room to grow back later.
void ShortenToFilePort(wchar_t* portList) {
    wchar_t* at = wcsstr(portList, kPortName);
    wchar_t* rest = at + kProductPortChars;
    CopyMemory(at, kFilePort, kFilePortChars * sizeof(wchar_t));
    MoveMemory(at + kFilePortChars, rest, (kernel.lstrlenW(rest) + 1) * sizeof(wchar_t));
}

// Only entries shortened by ShortenToFilePort come here: the room it freed
// after the terminator takes the longer name again.
void GrowToProductPort(wchar_t* portList) {
    wchar_t* at = wcsstr(portList, kFilePort);
    wchar_t* rest = at + kFilePortChars;
    MoveMemory(rest + kPortNameGrowth, rest, (kernel.lstrlenW(rest) + 1) * sizeof(wchar_t));
    CopyMemory(at, kPortName, kProductPortChars * sizeof(wchar_t));
}

// The entry goes back as it was enumerated (default mark included), with only
// its port name changed.
void WriteBackPrinter(InstallRun& run, PRINTER_INFO_2W& entry) {
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    UniquePrinter printer;
    // A printer without a name is never opened: OpenPrinterW would hand out
    // the print server instead.
    if (!entry.pPrinterName || !OpenPrinterInto(entry.pPrinterName, &access, printer)) {
        LogLine(run, "Can't open printer %s", ShownName(entry.pPrinterName, kUnnamedInList));
        return;
    }
    BOOL written = winspool.SetPrinterW(printer.Get(), 2, reinterpret_cast<BYTE*>(&entry), 0);
    LogLine(run, written ? "SetPrinter(%s) - ok" : "SetPrinter(%s) - failed", entry.pPrinterName);
}

// Room for every printer and the closing none pointer. An earlier array
// points into the same list and is dropped.
void MakeMovedPrinterArray(InstallRun& run) {
    FreeGlobal(run.movedPrinters);
    run.movedPrinters = nullptr;
    if (run.printerCount != 0) {
        run.movedPrinters = static_cast<PRINTER_INFO_2W**>(
            AllocGlobal((static_cast<SIZE_T>(run.printerCount) + 1) * sizeof(PRINTER_INFO_2W*)));
    }
}

// A printer that cannot be remembered is not moved: a reinstall could not
// bring it back to the product port.
void MovePrintersToFilePort(InstallRun& run) {
    MakeMovedPrinterArray(run);
    if (!run.movedPrinters || !run.printers) {
        return;
    }
    UINT32 moved = 0;
    for (UINT32 i = 0; i < run.printerCount; ++i) {
        PRINTER_INFO_2W& entry = run.printers[i];
        if (HasPort(entry.pPortName, kPortName)) {
            run.movedPrinters[moved++] = &entry;
            ShortenToFilePort(entry.pPortName);
            WriteBackPrinter(run, entry);
        }
    }
    run.movedPrinters[moved] = nullptr;
}

void MovePrintersBack(InstallRun& run) {
    if (!run.movedPrinters) {
        return;
    }
    for (PRINTER_INFO_2W** slot = run.movedPrinters; *slot; ++slot) {
        PRINTER_INFO_2W& entry = **slot;
        if (HasPort(entry.pPortName, kFilePort)) {
            GrowToProductPort(entry.pPortName);
            WriteBackPrinter(run, entry);
        }
    }
}

const MONITOR_INFO_2W* FindMonitorRecord(InstallRun& run, const SpoolerEnumBuffer& monitors) {
    int index = FindProductMonitor(monitors);
    if (index < 0 || monitors.level != 2) {
        LogLine(run, "No Zantorelle port monitor was found.");
        return nullptr;
    }
    LogLine(run, "Port monitor is found. Index=%d", index + 1);
    return static_cast<const MONITOR_INFO_2W*>(monitors.buffer) + index;
}

// True when the name has both halves, the system directory and the DLL: only
// such a path names the installed monitor and may be deleted.
bool BuildMonitorFileName(InstallRun& run, const MONITOR_INFO_2W* found,
                          CountedString& monitorFile) {
    CopyCountedString(monitorFile, run.systemDir);
    const wchar_t* dll = nullptr;
    if (found) {
        LogLine(run, "Trying to get monitor filename from MONITOR_INFO_2");
        dll = found->pDLLName;
    } else {
        LogLine(run, "Computing monitor filename");
        dll = run.monitorDll;
    }
    SIZE_T dllChars = dll ? kernel.lstrlenW(dll) : 0;
    if (dllChars != 0) {
        AppendCountedString(monitorFile, dll);
    }
    LogLine(run, "Auto calculated monitor file name: %s", CountedText(monitorFile));
    SIZE_T dirChars = CountedLength(run.systemDir);
    return dirChars != 0 && dllChars != 0 && CountedLength(monitorFile) == dirChars + dllChars;
}

bool IsCompatibleBuild(int build) {
    return build >= kOldestCompatibleMonitorBuild && build <= kBuildNumber;
}

// A compatible monitor stays: registered, it needs nothing; only its file
// present, it needs registering without a copy.
bool KeepCompatibleMonitor(InstallRun& run, bool found, const CountedString& monitorFile) {
    if (!run.checkMonitorVersion) {
        LogLine(run, "There is no check for monitor version");
        return false;
    }
    int build = GetFileBuildNumber(CountedText(monitorFile));
    if (!IsCompatibleBuild(build)) {
        if (build == -1) {
            LogLine(run, "Version is unknown, proceed with reinstall");
        } else {
            LogLine(run, "Version (%d) is not supported, proceed with reinstall", build);
        }
        return false;
    }
    LogLine(run, "Version (%d) is compatible, proceed without uninstall", build);
    if (found) {
        run.InstallMonitor = 0;
    } else {
        run.CopyMonitor = 0;
    }
    LogLine(run, "InstallMonitor == %d, CopyMonitor == %d", run.InstallMonitor ? 1 : 0,
            run.CopyMonitor ? 1 : 0);
    return true;
}

// The spooler refuses to delete a monitor whose port printers still use;
// they are moved off it, and a restart releases what is left.
bool DeleteMonitorWithRetries(InstallRun& run, bool found) {
    if (DeleteProductMonitor(run.environment)) {
        return true;
    }
    if (!found) {
        LogLine(run, "Can't delete monitor and monitor was not found. So everything should be ok");
        return false;
    }
    LogLine(run, "Can't delete monitor from the first try");
    MovePrintersToFilePort(run);
    if (DeleteProductMonitor(run.environment)) {
        return true;
    }
    RestartSpooler(&run);
    if (DeleteProductMonitor(run.environment)) {
        return true;
    }
    LogError(run, kErrorRemoveMonitor);
    return false;
}

// The spooler may keep the DLL loaded for a while after the monitor is gone.
void DeleteMonitorFile(InstallRun& run, const CountedString& monitorFile) {
    const wchar_t* path = CountedText(monitorFile);
    if (!kernel.DeleteFileW(path)) {
        AddDeferredDelete(run.deferredDeletes, path);
    }
}

void CopyMonitorFile(InstallRun& run) {
    if (!run.CopyMonitor) {
        LogLine(run, "Skip copy monitor file");
        return;
    }
    LogLine(run, "Copy monitor file");
    const wchar_t* systemDir = CountedText(run.systemDir);
    wchar_t target[kPathBufferChars];
    if (CopyProductFile(run, systemDir, run.monitorDll, target, 0) == S_OK) {
        return;
    }
    // A running spooler may hold the old DLL open; a stopped one holds nothing.
    ScopedSpoolerRestart stopped(&run);
    CopyProductFile(run, systemDir, run.monitorDll, target, 1);
}

// The spooler may still be letting go of the monitor just removed: a failed
// registration is tried again after a short pause.
bool RegisterMonitor(InstallRun& run) {
    MONITOR_INFO_2W info = {const_cast<LPWSTR>(kMonitorName), const_cast<LPWSTR>(run.environment),
                            const_cast<LPWSTR>(run.monitorDll)};
    for (int attempt = 1;; ++attempt) {
        if (attempt > 1) {
            kernel.Sleep(kAddMonitorPauseMs);
        }
        if (winspool.AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info))) {
            return true;
        }
        DWORD code = kernel.GetLastError();
        LogLine(run, "AddMonitor - failed. Trying to wait and install again");
        if (attempt == kAddMonitorTries) {
            kernel.SetLastError(code);
            LogError(run, kErrorInstallMonitor);
            return false;
        }
    }
}

}  // namespace

void LogMonitorList(InstallRun& run, const SpoolerEnumBuffer& monitors) {
    const auto* records = static_cast<const MONITOR_INFO_2W*>(monitors.buffer);
    LogLine(run, "------- %d existing monitors ----------", static_cast<int>(monitors.count));
    for (UINT32 i = 0; records && i < monitors.count; ++i) {
        LogLine(run, "%d. %s", static_cast<int>(i + 1),
                ShownName(records[i].pName, kUnnamedInList));
    }
    LogLine(run, "---------------------------------------");
}

void RemovePortMonitor(InstallRun& run, const SpoolerEnumBuffer& monitors) {
    LogLine(run, ">DeleteMonitor");
    ++run.logDepth;
    if (monitors.count != 0) {
        LogMonitorList(run, monitors);
    } else {
        LogLine(run, "BTW, there is no port monitors on this system.");
    }
    const MONITOR_INFO_2W* found = FindMonitorRecord(run, monitors);
    CountedString monitorFile = {};
    bool deletable = BuildMonitorFileName(run, found, monitorFile);
    if (!KeepCompatibleMonitor(run, found != nullptr, monitorFile) &&
        DeleteMonitorWithRetries(run, found != nullptr)) {
        if (deletable) {
            DeleteMonitorFile(run, monitorFile);
        }
        LogLine(run, "Monitor was removed :)");
    }
    FreeCountedString(monitorFile);
    --run.logDepth;
}

void InstallPortMonitor(InstallRun& run) {
    LogLine(run, ">AddMonitor");
    ++run.logDepth;
    CopyMonitorFile(run);
    if (RegisterMonitor(run)) {
        LogLine(run, "AddMonitor - OK :)");
        MovePrintersBack(run);
    }
    --run.logDepth;
}
