#include "app/procedures.h"

#include "app/install_checks.h"
#include "app/run_deadline.h"
#include "app/signed_in_users.h"
#include "core/deferred_delete.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "files/pending_renames.h"
#include "service/spooler_service.h"
#include "spooler/enumerations.h"
#include "spooler/port_monitor.h"
#include "spooler/printer_driver.h"
#include "spooler/printer_journal.h"
#include "spooler/printers.h"
#include "tray/tray_companion.h"

namespace {

constexpr int kPendingChecks = 2;

void FlushPendingRenames() {
    PendingRenameTable table = ReadPendingRenames();
    FlushPendingDeletes(table);
    ReleasePendingRenames(table);
}

// Retries the leftovers; only when some still fail is the spooler stopped for
// one more try. What is left stays listed for the run wrapper.
void RetryLeftovers(InstallRun& run) {
    if (!run.deferredDeletes) {
        return;
    }
    RetryDeferredDeletes(run);
    if (run.deferredDeletes) {
        ScopedSpoolerRestart restart(&run);
        RetryDeferredDeletes(run);
    }
}

// The file-name part of a pending source, after an object-manager prefix.
const wchar_t* PendingFileName(const wchar_t* source) {
    if (source[0] == L'\\' && source[1] == L'?' && source[2] == L'?' && source[3] == L'\\') {
        source += 4;
    }
    const wchar_t* name = source;
    for (const wchar_t* p = source; *p; ++p) {
        if (*p == L'\\' || *p == L'/' || *p == L':') {
            name = p + 1;
        }
    }
    return name;
}

bool IsProductFileName(const wchar_t* name) {
    // Ordinal, as the file system compares names: no user locale may decide
    // (a Turkish one folds "I" to a dotless i, and "ZRLUI64.DLL" would be missed).
    const wchar_t* const products[] = {kMonitorDll, kDriverDll, kUiDll};
    for (const wchar_t* product : products) {
        if (kernel.CompareStringOrdinal(name, -1, product, -1, TRUE) == CSTR_EQUAL) {
            return true;
        }
    }
    return false;
}

bool ProductFilePending() {
    PendingRenameTable table = ReadPendingRenames();
    FlushPendingDeletes(table);
    bool found = false;
    for (INT32 k = 0; k < table.count && !found; ++k) {
        const wchar_t* source = table.names[2 * k];
        found = table.flags[2 * k] == 1 && source && IsProductFileName(PendingFileName(source));
    }
    ReleasePendingRenames(table);
    return found;
}

// A monitor DLL locked at an earlier uninstall was scheduled for deletion at
// the next restart. A reinstall always leaves a monitor DLL under that name,
// kept or copied anew, which that deletion would take away.
void KeepInstalledMonitorDll(const InstallRun& run) {
    if (!run.systemDir.block) {
        return;
    }
    CountedString path = {};
    CopyCountedString(path, run.systemDir);
    AppendCountedString(path, run.monitorDll);
    ForgetPendingDelete(CountedText(path));
    FreeCountedString(path);
}

// A reinstall registers the same tray program again right after: its
// executable stays (a repair or an upgrade that did not say "removetray"
// first would otherwise lose it).
void StopTrayForRun(const InstallRun& run) {
    if (!IsReinstall(run)) {
        StopTrayCompanion();
        return;
    }
    CountedString tray = {};
    TrayProgramPath(run, tray);
    StopTrayCompanion(CountedText(tray));
    FreeCountedString(tray);
}

}  // namespace

void UnInstall(InstallRun& run) {
    LogLine(run, ">UnInstall");
    ++run.logDepth;
    EnterRunStep("stopping the tray program");
    StopTrayForRun(run);
    EnterRunStep("reading the port monitors and printer drivers");
    LogLine(run, "EnumMonitors");
    SpoolerEnumBuffer monitors = {};
    EnumerateMonitors(monitors, run);
    LogLine(run, "%d Monitors found.", monitors.count);
    LogLine(run, "EnumPrinterDrivers for %s", run.environment);
    SpoolerEnumBuffer drivers = {};
    EnumerateDrivers(drivers, run.environment);
    LogLine(run, "%d drivers found", drivers.count);
    EnterRunStep("removing the product's printers");
    RemoveProductPrinters(run);
    EnterRunStep("removing the printer driver");
    RemovePrinterDriver(run, drivers);
    EnterRunStep("removing the port monitor");
    RemovePortMonitor(run, monitors);
    EnterRunStep("deleting left-over files");
    if (run.deferredDeletes) {
        RetryDeferredDeletes(run);
    }
    FreeGlobal(drivers.buffer);
    FreeGlobal(monitors.buffer);
    --run.logDepth;
}

void ReInstall(InstallRun& run) {
    // What can be known in advance is checked before anything changes: an
    // install that fails half-way takes the user's printers away first.
    EnterRunStep("checking what an install needs");
    if (!CheckBeforeInstall(run)) {
        run.refused = 1;
        return;
    }
    LogLine(run, ">ReInstall");
    run.logDepth += 2;
    run.checkMonitorVersion = 1;
    // A run as SYSTEM asks the signed-in users before their default printers go.
    SignedInUsers users = {};
    EnterRunStep("asking signed-in users");
    AskSignedInUsers(run, users);
    UnInstall(run);
    if (run.deferredDeletes) {
        ScopedSpoolerRestart restart(&run);
        RetryDeferredDeletes(run);
        // Dropped, not scheduled: the install that follows puts these files
        // back under the same names, and a deletion at restart would take the
        // new ones away.
        ClearDeferredDeletes(run.deferredDeletes);
    }
    // Before the flush: the flush would delete a kept monitor DLL right away.
    KeepInstalledMonitorDll(run);
    FlushPendingRenames();
    if (run.InstallMonitor) {
        EnterRunStep("installing the port monitor");
        InstallPortMonitor(run);
    }
    EnterRunStep("installing the printer driver");
    InstallPrinterDriver(run);
    EnterRunStep("bringing the product's printers back");
    RestorePrinters(run);
    EnterRunStep("restoring signed-in users");
    RestoreSignedInUsers(run, users);
    FreeSignedInUsers(users);
    EnterRunStep("registering the tray program");
    RegisterTrayCompanion(run);
    EnterRunStep("deleting left-over files");
    RetryLeftovers(run);
    run.logDepth -= 2;
}

void UninstallAndCleanUp(InstallRun& run) {
    UnInstall(run);
    // The product goes, and printers an earlier reinstall left in transit go with it.
    CloseJournal(true);
    FlushPendingRenames();
    RetryLeftovers(run);
}

bool PendingFilesCheck() {
    for (int pass = 0; pass < kPendingChecks; ++pass) {
        if (!ProductFilePending()) {
            return false;
        }
        // The spooler may hold the file; a restart lets the next pass delete it.
        RestartSpooler(nullptr);
    }
    return true;
}
