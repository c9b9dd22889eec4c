#include "spooler/winspool_api.h"

#include "core/kernel_api.h"

WinspoolApi winspool = {};
VersionApi version = {};

namespace winspool_detail {
decltype(&::AddPrinterW) spoolerAddPrinterW = nullptr;
}  // namespace winspool_detail

namespace {

constexpr wchar_t kWinPrintDefaultDatatype[] = L"RAW";

// Wine's ntdll exports wine_get_version; Windows' does not.
bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && kernel.GetProcAddress(ntdll, "wine_get_version");
}

// Windows gives a printer added without a datatype its print processor's
// default. Wine stores none and then cannot open the printer it has just made
// (AddPrinterW returns null with error 1801, and the printer stays behind,
// unusable), so on Wine the caller's record is passed on with WinPrint's
// default. The caller's record itself is left as it was.
HANDLE WINAPI AddPrinterWithDatatype(LPWSTR server, DWORD level, LPBYTE data) {
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(data);
    if (level != 2 || !info || info->pDatatype) {
        return winspool_detail::spoolerAddPrinterW(server, level, data);
    }
    PRINTER_INFO_2W withDatatype = *info;
    withDatatype.pDatatype = const_cast<LPWSTR>(kWinPrintDefaultDatatype);
    return winspool_detail::spoolerAddPrinterW(server, level,
                                               reinterpret_cast<LPBYTE>(&withDatatype));
}

void BindAddPrinterForThisSpooler(WinspoolApi& api) {
    winspool_detail::spoolerAddPrinterW = api.AddPrinterW;
    if (RunningOnWine()) {
        api.AddPrinterW = &AddPrinterWithDatatype;
    }
}

// The libraries stay loaded for the life of the process: the tables point into them.
HMODULE LoadSystemLibrary(const wchar_t* name) {
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

template <typename F>
bool Bind(HMODULE module, const char* nameOrOrdinal, F& slot) {
    slot = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, nameOrOrdinal)));
    return slot != nullptr;
}

const char* Ordinal(WORD n) {
    return reinterpret_cast<const char*>(static_cast<ULONG_PTR>(n));
}

bool BindWinspool(HMODULE m, WinspoolApi& api) {
    return Bind(m, "EnumMonitorsW", api.EnumMonitorsW) &&
           Bind(m, "EnumPrinterDriversW", api.EnumPrinterDriversW) &&
           Bind(m, "EnumPrintersW", api.EnumPrintersW) && Bind(m, "GetPrinterW", api.GetPrinterW) &&
           Bind(m, "OpenPrinterW", api.OpenPrinterW) && Bind(m, "SetPrinterW", api.SetPrinterW) &&
           Bind(m, "ClosePrinter", api.ClosePrinter) && Bind(m, "AddPrinterW", api.AddPrinterW) &&
           Bind(m, "DeletePrinter", api.DeletePrinter) && Bind(m, "AddMonitorW", api.AddMonitorW) &&
           Bind(m, "DeleteMonitorW", api.DeleteMonitorW) &&
           Bind(m, "AddPrinterDriverExW", api.AddPrinterDriverExW) &&
           Bind(m, "DeletePrinterDriverExW", api.DeletePrinterDriverExW) &&
           Bind(m, "GetPrinterDriverDirectoryW", api.GetPrinterDriverDirectoryW) &&
           Bind(m, "GetPrinterDataA", api.GetPrinterDataA) &&
           Bind(m, "GetPrinterDataExA", api.GetPrinterDataExA) &&
           Bind(m, "SetPrinterDataA", api.SetPrinterDataA) &&
           Bind(m, "SetPrinterDataExA", api.SetPrinterDataExA) &&
           Bind(m, Ordinal(203), api.GetDefaultPrinterW) &&
           Bind(m, Ordinal(204), api.SetDefaultPrinterW);
}

bool BindVersion(HMODULE m, VersionApi& api) {
    return Bind(m, "GetFileVersionInfoSizeW", api.GetFileVersionInfoSizeW) &&
           Bind(m, "GetFileVersionInfoW", api.GetFileVersionInfoW) &&
           Bind(m, "VerQueryValueW", api.VerQueryValueW);
}

}  // namespace

bool BindSpoolerLibraries() {
    HMODULE spool = LoadSystemLibrary(L"winspool.drv");
    HMODULE ver = LoadSystemLibrary(L"version.dll");
    WinspoolApi spoolApi = {};
    VersionApi versionApi = {};
    if (!spool || !ver || !BindWinspool(spool, spoolApi) || !BindVersion(ver, versionApi)) {
        return false;
    }
    BindAddPrinterForThisSpooler(spoolApi);
    winspool = spoolApi;
    version = versionApi;
    return true;
}
