#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "spooler/enumerations.h"
#include "spooler/port_monitor.h"
#include "spooler/printers.h"
#include "spooler/winspool_api.h"

namespace {

void LogProductMonitorSearch(InstallRun& run) {
    LogLine(run, "Let's check our port monitors");
    SpoolerEnumBuffer monitors;
    EnumerateMonitors(monitors, run);
    UniqueGlobal held(monitors.buffer);
    if (FindProductMonitor(monitors) >= 0) {
        LogLine(run, "Port monitor is found");
        return;
    }
    LogLine(run, "No Zantorelle port monitor was found.");
    if (monitors.count != 0) {
        LogMonitorList(run, monitors);
    } else {
        LogLine(run, "BTW, there is no port monitors on this system.");
    }
}

}  // namespace

HANDLE AddProductPrinter(InstallRun& run, const wchar_t* name, PSECURITY_DESCRIPTOR security) {
    LogLine(run, ">AddPrinter(%s)", ShownName(name, kUnnamedPrinter));
    ++run.logDepth;
    LogProductMonitorSearch(run);
    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(name);
    info.pPortName = const_cast<LPWSTR>(kPortName);
    info.pDriverName = const_cast<LPWSTR>(kDriverName);
    info.pComment = const_cast<LPWSTR>(L"");
    info.pPrintProcessor = const_cast<LPWSTR>(kPrintProcessor);
    info.pSecurityDescriptor = security;
    HANDLE printer = AddLocalPrinter(info);
    if (printer) {
        LogLine(run, "OK :)");
    } else {
        LogError(run, kErrorAddPrinter, ShownName(name, kUnnamedPrinter));
    }
    --run.logDepth;
    return printer;
}

void AddFallbackPrinter(InstallRun& run) {
    UniquePrinter fallback(AddProductPrinter(run, kFallbackPrinterName));
}
