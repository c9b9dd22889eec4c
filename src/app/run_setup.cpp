#include "app/run_setup.h"

#include "app/entry.h"
#include "core/deferred_delete.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "service/spooler_service.h"
#include "spooler/default_printer.h"
#include "spooler/enumerations.h"
#include "spooler/printers.h"
#include "spooler/winspool_api.h"
#include "core/handles.h"

namespace {

void EnsureTrailingBackslash(wchar_t* path) {
    int n = kernel.lstrlenW(path);
    if (n > 0 && path[n - 1] != L'\\') {
        path[n] = L'\\';
        path[n + 1] = 0;
    }
}

// The installer's folder with its trailing separator: everything up to the
// last backslash, forward slash or colon ("C:" alone keeps its colon).
void ResolveSourceDirectoryInto(InstallRun& run, wchar_t (&buffer)[kPathBufferChars]) {
    buffer[0] = 0;
    DWORD n = kernel.GetModuleFileNameW(moduleInstance, buffer, kSystemPathChars);
    buffer[n < kSystemPathChars ? n : kSystemPathChars - 1] = 0;
    int cut = 0;
    for (int i = 0; buffer[i]; ++i) {
        if (buffer[i] == L'\\' || buffer[i] == L'/' || buffer[i] == L':') {
            cut = i + 1;
        }
    }
    buffer[cut] = 0;
    AssignCountedString(run.sourceDir, buffer);
}

void ResolveSystemDirectory(InstallRun& run, wchar_t (&buffer)[kPathBufferChars]) {
    buffer[0] = 0;
    if (kernel.GetSystemDirectoryW(buffer, kSystemPathChars) == 0) {
        LogError(run, kErrorSystemDirectory);
        return;
    }
    EnsureTrailingBackslash(buffer);
    AssignCountedString(run.systemDir, buffer);
}

}  // namespace

void ResetInstallRun(InstallRun& run) {
    run.sourceDir = {};
    run.systemDir = {};
    run.logText = {};
    run.driverDir = {};
    run.deferredDeletes = nullptr;
    run.savedPrinters = nullptr;
    run.printers = nullptr;
    run.movedPrinters = nullptr;
    run.printerCount = 0;
    run.errorCount = 0;
    run.logDepth = 0;
    run.defaultPrinterError = 0;
    run.refused = 0;
    LogLine(run, "Zantorelle %d", kBuildNumber);
    run.checkMonitorVersion = 0;
    run.InstallMonitor = 1;
    run.CopyMonitor = 1;
}

InstallRun& InitInstallRun(InstallRun& run) {
    ResetInstallRun(run);
    CheckSpooler(run);
    ResolveDriverDirectory(run);
    wchar_t buffer[kPathBufferChars];
    ResolveSourceDirectoryInto(run, buffer);
    ResolveSystemDirectory(run, buffer);
    MarkDefaultPrinter(run);
    return run;
}

void ResolveSourceDirectory(InstallRun& run) {
    wchar_t buffer[kPathBufferChars];
    ResolveSourceDirectoryInto(run, buffer);
}

void ResolveDriverDirectory(InstallRun& run) {
    run.monitorDll = kMonitorDll;
    run.driverDll = kDriverDll;
    run.uiDll = kUiDll;
    run.environment = kEnvironment;
    DWORD needed = 0;
    UniqueGlobal block;
    // Two bytes more than asked for: room to append the backslash.
    SizedRead read = ReadSized(
        [&](BYTE* data, DWORD bytes, DWORD& asked) {
            return winspool.GetPrinterDriverDirectoryW(nullptr, const_cast<LPWSTR>(run.environment),
                                                       1, data, bytes, &asked);
        },
        block, needed, sizeof(wchar_t));
    if (read == SizedRead::Read) {
        auto* dir = static_cast<wchar_t*>(block.Get());
        EnsureTrailingBackslash(dir);
        AssignCountedString(run.driverDir, dir);
    } else if (read != SizedRead::Nothing) {
        LogError(run, kErrorDriverDirectory);
    }
    run.helpFile = kHelpFile;
}

void FreeInstallRun(InstallRun& run) {
    FreeGlobal(run.movedPrinters);
    run.movedPrinters = nullptr;
    FreePrinterList(run.printers, run.printerCount);
    FreeSavedPrinters(run.savedPrinters);
    ClearDeferredDeletes(run.deferredDeletes);
    FreeCountedString(run.driverDir);
    FreeCountedString(run.logText);
    FreeCountedString(run.systemDir);
    FreeCountedString(run.sourceDir);
}
