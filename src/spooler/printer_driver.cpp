#include "spooler/printer_driver.h"

#include "core/counted_string.h"
#include "core/deferred_delete.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "files/file_copy.h"
#include "service/spooler_service.h"
#include "spooler/winspool_api.h"

namespace {

constexpr DWORD kDriverVersion = 3;
constexpr BYTE kReportCopyErrors = 1;

// Where the three driver files were staged before the spooler takes its own
// copies. A help path left empty means the driver goes without help.
struct StagedDriverFiles {
    wchar_t driver[kPathBufferChars];
    wchar_t ui[kPathBufferChars];
    wchar_t help[kPathBufferChars];
};

bool StageFile(InstallRun& run, const wchar_t* fileName, wchar_t* path) {
    return CopyProductFile(run, CountedText(run.driverDir), fileName, path, kReportCopyErrors) ==
           S_OK;
}

// Without the driver DLL or the UI DLL there is nothing the spooler could
// load; the help file is optional.
bool StageDriverFiles(InstallRun& run, StagedDriverFiles& files) {
    if (!StageFile(run, run.driverDll, files.driver) || !StageFile(run, run.uiDll, files.ui)) {
        return false;
    }
    if (!StageFile(run, run.helpFile, files.help)) {
        files.help[0] = 0;
    }
    return true;
}

// The driver DLL is its own data file. The help path stays an empty string
// rather than none when the help file could not be staged.
DRIVER_INFO_6W DriverRecord(const InstallRun& run, StagedDriverFiles& files) {
    DRIVER_INFO_6W info = {};
    info.cVersion = kDriverVersion;
    info.pName = const_cast<LPWSTR>(kDriverName);
    info.pEnvironment = const_cast<LPWSTR>(run.environment);
    info.pDriverPath = files.driver;
    info.pDataFile = files.driver;
    info.pConfigFile = files.ui;
    info.pHelpFile = files.help;
    info.pszMfgName = const_cast<LPWSTR>(kManufacturer);
    info.pszOEMUrl = const_cast<LPWSTR>(kMakerUrl);
    info.pszProvider = const_cast<LPWSTR>(kManufacturer);
    return info;
}

void RegisterDriver(InstallRun& run, StagedDriverFiles& files) {
    DRIVER_INFO_6W info = DriverRecord(run, files);
    if (AddPrinterDriverLevel6(info)) {
        LogLine(run, "OK :)");
    } else {
        LogError(run, kErrorInstallDriver, kDriverName);
    }
}

// The spooler has copied the staged file into its own driver folders, but it
// may still hold the staged one open for a while: such a copy is deleted later.
void RemoveStagedCopy(InstallRun& run, const wchar_t* path) {
    if (*path && !kernel.DeleteFileW(path)) {
        AddDeferredDelete(run.deferredDeletes, path);
    }
}

void RemoveStagedCopies(InstallRun& run, const StagedDriverFiles& files) {
    RemoveStagedCopy(run, files.driver);
    RemoveStagedCopy(run, files.ui);
    RemoveStagedCopy(run, files.help);
}

const wchar_t* DriverNameAt(const SpoolerEnumBuffer& drivers, UINT32 index) {
    const auto* records = static_cast<const DRIVER_INFO_6W*>(drivers.buffer);
    return records ? records[index].pName : nullptr;
}

void LogDriverList(InstallRun& run, const SpoolerEnumBuffer& drivers) {
    if (drivers.count == 0) {
        LogLine(run, "BTW, there is no printer drivers on this system.");
        return;
    }
    LogLine(run, "------------ %d existing drivers-----------", static_cast<int>(drivers.count));
    for (UINT32 i = 0; i < drivers.count; ++i) {
        const wchar_t* name = DriverNameAt(drivers, i);
        LogLine(run, "%d. %s", static_cast<int>(i + 1), ShownName(name, kUnnamedInList));
    }
    LogLine(run, "-------------------------------------------");
}

// By name and environment, with every file of the driver.
BOOL DeleteProductDriver(const InstallRun& run) {
    return winspool.DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(run.environment),
                                           const_cast<LPWSTR>(kDriverName), DPD_DELETE_ALL_FILES,
                                           0);
}

// A running spooler may keep the driver's files loaded and refuse the
// deletion; after a restart it has let go of them.
bool DeleteDriverWithRestart(InstallRun& run) {
    if (DeleteProductDriver(run)) {
        return true;
    }
    LogLine(run, "Can't delete driver. Trying to restart spooler");
    RestartSpooler(&run);
    if (DeleteProductDriver(run)) {
        return true;
    }
    LogError(run, kErrorRemoveDriver, kDriverName);
    return false;
}

}  // namespace

void InstallPrinterDriver(InstallRun& run) {
    LogLine(run, ">Add Printer Driver");
    ++run.logDepth;
    StagedDriverFiles files = {};
    if (StageDriverFiles(run, files)) {
        RegisterDriver(run, files);
        RemoveStagedCopies(run, files);
    }
    --run.logDepth;
}

void RemovePrinterDriver(InstallRun& run, const SpoolerEnumBuffer& drivers) {
    LogLine(run, ">DeletePrinterDriver for %s", run.environment);
    ++run.logDepth;
    LogDriverList(run, drivers);
    int index = FindProductDriver(drivers);
    if (index < 0) {
        LogLine(run, "No Zantorelle driver was found");
    } else {
        LogLine(run, "Driver is found. Index=%d", index + 1);
        if (DeleteDriverWithRestart(run)) {
            LogLine(run, "OK :)");
        }
    }
    --run.logDepth;
}
