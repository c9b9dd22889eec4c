#include "spooler/winspool_api.h"

#include "core/kernel_api.h"
#include "core/product.h"
#include "core/advapi_api.h"

WinspoolApi winspool = {};
VersionApi version = {};

namespace winspool_detail {
WinspoolApi exports = {};
}  // namespace winspool_detail

namespace {

using winspool_detail::exports;

constexpr wchar_t kWinPrintDefaultDatatype[] = L"RAW";
constexpr DWORD kFileDeleteFlags = DPD_DELETE_UNUSED_FILES | DPD_DELETE_ALL_FILES;

// Wine's ntdll exports wine_get_version; Windows' does not.
bool RunningOnWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && kernel.GetProcAddress(ntdll, "wine_get_version");
}

bool PrinterNameTaken(LPWSTR name) {
    HANDLE printer = nullptr;
    if (!name || !exports.OpenPrinterW(name, &printer, nullptr)) {
        return false;
    }
    exports.ClosePrinter(printer);
    return true;
}

// Windows gives a printer added without a datatype its print processor's
// default. Wine stores none and then cannot open the printer it has just made
// (AddPrinterW returns null with error 1801, and the printer stays behind,
// unusable), so on Wine the caller's record is passed on with WinPrint's
// default. The caller's record itself is left as it was. Wine also takes a
// second printer of a name that exists, which Windows refuses.
HANDLE WINAPI AddPrinterAsWindows(LPWSTR server, DWORD level, LPBYTE data) {
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(data);
    if (level != 2 || !info) {
        return exports.AddPrinterW(server, level, data);
    }
    if (!server && PrinterNameTaken(info->pPrinterName)) {
        kernel.SetLastError(ERROR_PRINTER_ALREADY_EXISTS);
        return nullptr;
    }
    if (info->pDatatype) {
        return exports.AddPrinterW(server, level, data);
    }
    PRINTER_INFO_2W withDatatype = *info;
    withDatatype.pDatatype = const_cast<LPWSTR>(kWinPrintDefaultDatatype);
    return exports.AddPrinterW(server, level, reinterpret_cast<LPBYTE>(&withDatatype));
}

// The drivers of an environment at level 3, which names every file of each.
struct DriverFileList {
    UniqueGlobal block;
    DWORD count;
};

bool ReadDriverFiles(LPWSTR server, LPWSTR environment, DriverFileList& list) {
    DWORD needed = 0;
    if (exports.EnumPrinterDriversW(server, environment, 3, nullptr, 0, &needed, &list.count) ||
        kernel.GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    list.block.Reset(AllocGlobal(needed));
    if (!list.block) {
        kernel.SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return exports.EnumPrinterDriversW(server, environment, 3, static_cast<BYTE*>(list.block.Get()),
                                       needed, &needed, &list.count);
}

bool SameFileName(const wchar_t* a, const wchar_t* b) {
    return a && b && *a && kernel.CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// Steps through the files a driver names: its DLLs, data and help files,
// then the dependent files, a list of strings ending with an empty one.
struct DriverFileCursor {
    const DRIVER_INFO_3W& driver;
    int named;                 // the next of the four named files
    const wchar_t* dependent;  // the next dependent file
};

DriverFileCursor FirstDriverFile(const DRIVER_INFO_3W& driver) {
    return {driver, 0, driver.pDependentFiles};
}

// The next file, or null after the last.
const wchar_t* NextDriverFile(DriverFileCursor& cursor) {
    const wchar_t* const named[] = {cursor.driver.pDriverPath, cursor.driver.pDataFile,
                                    cursor.driver.pConfigFile, cursor.driver.pHelpFile};
    while (cursor.named < static_cast<int>(ARRAYSIZE(named))) {
        const wchar_t* file = named[cursor.named++];
        if (file && *file) {
            return file;
        }
    }
    const wchar_t* file = cursor.dependent;
    if (!file || !*file) {
        return nullptr;
    }
    cursor.dependent = file + kernel.lstrlenW(file) + 1;
    return file;
}

bool NamesFile(const DRIVER_INFO_3W& driver, const wchar_t* file) {
    DriverFileCursor cursor = FirstDriverFile(driver);
    while (const wchar_t* named = NextDriverFile(cursor)) {
        if (SameFileName(file, named)) {
            return true;
        }
    }
    return false;
}

bool UsedByAnother(const DriverFileList& list, DWORD self, const wchar_t* file) {
    const auto* drivers = static_cast<const DRIVER_INFO_3W*>(list.block.Get());
    for (DWORD i = 0; i < list.count; ++i) {
        if (i != self && NamesFile(drivers[i], file)) {
            return true;
        }
    }
    return false;
}

bool SharesAFile(const DriverFileList& list, DWORD self) {
    const auto* drivers = static_cast<const DRIVER_INFO_3W*>(list.block.Get());
    DriverFileCursor cursor = FirstDriverFile(drivers[self]);
    while (const wchar_t* file = NextDriverFile(cursor)) {
        if (UsedByAnother(list, self, file)) {
            return true;
        }
    }
    return false;
}

int FindDriver(const DriverFileList& list, const wchar_t* name) {
    const auto* drivers = static_cast<const DRIVER_INFO_3W*>(list.block.Get());
    for (DWORD i = 0; i < list.count; ++i) {
        if (SameFileName(drivers[i].pName, name)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Windows removes a driver asked to go with DPD_DELETE_UNUSED_FILES, and with
// it every file of the driver that no other driver names; asked with
// DPD_DELETE_ALL_FILES it removes nothing when another driver names any of
// those files, and fails with ERROR_PRINTER_DRIVER_IN_USE. Wine's spooler
// refuses every delete flag with ERROR_INVALID_PARAMETER, and removes a driver
// asked without flags but keeps its files: on Wine the flags are carried out
// here. A file that will not go stays, as a file in use stays on Windows until
// the spooler lets go of it.
BOOL WINAPI DeletePrinterDriverAsWindows(LPWSTR server, LPWSTR environment, LPWSTR name,
                                         DWORD flags, DWORD driverVersion) {
    if (exports.DeletePrinterDriverExW(server, environment, name, flags, driverVersion)) {
        return TRUE;
    }
    if ((flags & kFileDeleteFlags) == 0 || kernel.GetLastError() != ERROR_INVALID_PARAMETER) {
        return FALSE;
    }
    DriverFileList list = {};
    if (!ReadDriverFiles(server, environment, list)) {
        return FALSE;
    }
    int self = FindDriver(list, name);
    if (self < 0) {
        kernel.SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return FALSE;
    }
    if ((flags & DPD_DELETE_ALL_FILES) && SharesAFile(list, static_cast<DWORD>(self))) {
        kernel.SetLastError(ERROR_PRINTER_DRIVER_IN_USE);
        return FALSE;
    }
    if (!exports.DeletePrinterDriverExW(server, environment, name, flags & ~kFileDeleteFlags,
                                        driverVersion)) {
        return FALSE;
    }
    const auto* drivers = static_cast<const DRIVER_INFO_3W*>(list.block.Get());
    DriverFileCursor cursor = FirstDriverFile(drivers[self]);
    while (const wchar_t* file = NextDriverFile(cursor)) {
        if (!UsedByAnother(list, static_cast<DWORD>(self), file)) {
            kernel.DeleteFileW(file);
        }
    }
    kernel.SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// Where Wine keeps a printer's data: a key per printer, and below it the
// printer's own keys, as Windows' local spooler keeps them.
constexpr wchar_t kWinePrintersKey[] = L"System\\CurrentControlSet\\Control\\Print\\Printers\\";

// The printer a key was last listed for. Reading a printer's data lists key
// after key on one handle, and asking Wine for the handle's printer name
// costs as much as the listing itself; Wine gives a closed handle's number to
// the next printer opened, so the name is kept only until its handle closes.
struct ListedPrinter {
    HANDLE printer;
    // Room for any name the block below can hold.
    wchar_t name[2 * kPathBufferChars];
};
ListedPrinter lastListed = {};

BOOL WINAPI ClosePrinterAsWindows(HANDLE printer) {
    if (printer == lastListed.printer) {
        lastListed.printer = nullptr;
    }
    return exports.ClosePrinter(printer);
}

// The name of the printer behind `printer`; null, with the error, when the
// spooler does not know the handle.
const wchar_t* PrinterNameOf(HANDLE printer) {
    if (printer && printer == lastListed.printer) {
        return lastListed.name;
    }
    // A printer's name is shorter than MAX_PATH: one call fills this.
    alignas(PRINTER_INFO_4W) BYTE block[sizeof(PRINTER_INFO_4W) + 4 * kPathBufferChars];
    DWORD needed = 0;
    const auto* info = reinterpret_cast<PRINTER_INFO_4W*>(block);
    if (!exports.GetPrinterW(printer, 4, block, sizeof(block), &needed) || !info->pPrinterName) {
        return nullptr;
    }
    if (kernel.lstrlenW(info->pPrinterName) >= static_cast<int>(ARRAYSIZE(lastListed.name))) {
        kernel.SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    lastListed.printer = printer;
    kernel.lstrcpyW(lastListed.name, info->pPrinterName);
    return lastListed.name;
}

// The printer's key, or `key` below it, as a path under HKEY_LOCAL_MACHINE;
// null, with the error, when the printer or the memory is missing.
wchar_t* WinePrinterKeyPath(HANDLE printer, const wchar_t* key) {
    const wchar_t* name = PrinterNameOf(printer);
    if (!name) {
        return nullptr;
    }
    SIZE_T chars = kernel.lstrlenW(kWinePrintersKey) + kernel.lstrlenW(name) + 1 +
                   (key ? kernel.lstrlenW(key) : 0) + 1;
    auto* path = static_cast<wchar_t*>(AllocGlobal(chars * sizeof(wchar_t)));
    if (!path) {
        kernel.SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    kernel.lstrcpyW(path, kWinePrintersKey);
    kernel.lstrcatW(path, name);
    if (key && *key) {
        kernel.lstrcatW(path, L"\\");
        kernel.lstrcatW(path, key);
    }
    return path;
}

// Wine's EnumPrinterKeyW is a stub (ERROR_CALL_NOT_IMPLEMENTED); its spooler
// keeps the keys in the registry, where they are listed here as Windows lists
// them: the subkeys' names, each with its terminator, and one more.
DWORD WINAPI EnumPrinterKeyAsWindows(HANDLE printer, LPCWSTR key, LPWSTR subkeys, DWORD bytes,
                                     LPDWORD needed) {
    UniqueGlobal path(WinePrinterKeyPath(printer, key));
    if (!path) {
        return kernel.GetLastError() ? kernel.GetLastError() : ERROR_INVALID_HANDLE;
    }
    UniqueKey opened;
    LSTATUS status =
        advapi.RegOpenKeyExW(HKEY_LOCAL_MACHINE, static_cast<const wchar_t*>(path.Get()), 0,
                             KEY_ENUMERATE_SUB_KEYS, opened.Put());
    if (status != ERROR_SUCCESS) {
        return static_cast<DWORD>(status);
    }
    DWORD total = sizeof(wchar_t);
    wchar_t name[MAX_PATH];
    for (DWORD i = 0;; ++i) {
        DWORD chars = MAX_PATH;
        status =
            advapi.RegEnumKeyExW(opened.Get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status != ERROR_SUCCESS) {
            return static_cast<DWORD>(status);
        }
        if (subkeys && total + (chars + 1) * sizeof(wchar_t) <= bytes) {
            CopyMemory(reinterpret_cast<BYTE*>(subkeys) + total - sizeof(wchar_t), name,
                       (chars + 1) * sizeof(wchar_t));
        }
        total += (chars + 1) * sizeof(wchar_t);
    }
    *needed = total;
    if (!subkeys || bytes < total) {
        return ERROR_MORE_DATA;
    }
    subkeys[total / sizeof(wchar_t) - 1] = 0;
    return ERROR_SUCCESS;
}

// The one place where the installer meets Wine's spooler differently: the
// table keeps the exports on Windows.
void AdaptToThisSpooler(WinspoolApi& api) {
    if (RunningOnWine()) {
        api.AddPrinterW = &AddPrinterAsWindows;
        api.DeletePrinterDriverExW = &DeletePrinterDriverAsWindows;
        api.EnumPrinterKeyW = &EnumPrinterKeyAsWindows;
        api.ClosePrinter = &ClosePrinterAsWindows;
    }
}

// The libraries stay loaded for the life of the process: the tables point into them.
HMODULE LoadSystemLibrary(const wchar_t* name) {
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

constexpr char kWinspoolNames[] = WINSPOOL_CALLS(ZRL_OS_NAME);
constexpr unsigned short kWinspoolKinds[] = {WINSPOOL_CALLS(ZRL_OS_KIND)};
constexpr char kVersionNames[] = VERSION_CALLS(ZRL_OS_NAME);
constexpr unsigned short kVersionKinds[] = {VERSION_CALLS(ZRL_OS_KIND)};
constexpr unsigned kWinspoolCount = ARRAYSIZE(kWinspoolKinds);
constexpr unsigned kVersionCount = ARRAYSIZE(kVersionKinds);
static_assert(sizeof(WinspoolApi) == kWinspoolCount * sizeof(FARPROC) &&
              CountNames(kWinspoolNames) == kWinspoolCount);
static_assert(sizeof(VersionApi) == kVersionCount * sizeof(FARPROC) &&
              CountNames(kVersionNames) == kVersionCount);

}  // namespace

bool BindSpoolerLibraries() {
    HMODULE spool = LoadSystemLibrary(L"winspool.drv");
    HMODULE ver = LoadSystemLibrary(L"version.dll");
    WinspoolApi spoolApi = {};
    VersionApi versionApi = {};
    if (!BindOsTable(
            spool, {L"winspool.drv", kWinspoolNames, kWinspoolKinds, &spoolApi, kWinspoolCount}) ||
        !BindOsTable(ver,
                     {L"version.dll", kVersionNames, kVersionKinds, &versionApi, kVersionCount})) {
        return false;
    }
    winspool_detail::exports = spoolApi;
    AdaptToThisSpooler(spoolApi);
    winspool = spoolApi;
    version = versionApi;
    return true;
}

bool BindOsTables() {
    return BindSystemTables() && BindSpoolerLibraries();
}
