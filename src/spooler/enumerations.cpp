#include "spooler/enumerations.h"

#include <stddef.h>

#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "spooler/winspool_api.h"

namespace {

constexpr DWORD kPrinterEnumFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
constexpr DWORD kNoMemory = static_cast<DWORD>(E_OUTOFMEMORY);

// The spooler reports the size it needs by failing the call without a buffer
// with ERROR_INSUFFICIENT_BUFFER; every other outcome leaves nothing to read.
bool SizeQueryAsksForBuffer(BOOL sized) {
    return !sized && kernel.GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

// Freeing a block must not hide the spooler's error from the caller.
void FreeKeepingLastError(void* block) {
    DWORD code = kernel.GetLastError();
    FreeGlobal(block);
    kernel.SetLastError(code);
}

// The system's text keeps its trailing line break here: the log shows an
// empty line after it.
void LogEnumMonitorsFailure(InstallRun& run, const char* format) {
    DWORD code = kernel.GetLastError();
    wchar_t* text = nullptr;
    DWORD length = kernel.FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    UniqueLocal held(reinterpret_cast<HLOCAL>(text));
    LogLine(run, format, length != 0 && text ? text : L"No Error or no description");
    kernel.SetLastError(code);
}

BOOL QueryMonitors(BYTE* block, DWORD size, DWORD& needed, DWORD& count) {
    return winspool.EnumMonitorsW(nullptr, 2, block, size, &needed, &count);
}

BOOL QueryDrivers(const wchar_t* environment, BYTE* block, DWORD size, DWORD& needed,
                  DWORD& count) {
    return winspool.EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(environment), 6, block, size,
                                        &needed, &count);
}

BOOL QueryPrinters(BYTE* block, DWORD size, DWORD& needed, DWORD& count) {
    return winspool.EnumPrintersW(kPrinterEnumFlags, nullptr, 2, block, size, &needed, &count);
}

// One search for every level: the records differ only in their size and in
// where they keep the name.
int FindNamedRecord(const SpoolerEnumBuffer& list, const wchar_t* name, SIZE_T recordBytes,
                    SIZE_T nameOffset) {
    const auto* record = static_cast<const BYTE*>(list.buffer);
    for (UINT32 i = 0; record && i < list.count; ++i, record += recordBytes) {
        const wchar_t* recordName = nullptr;
        CopyMemory(&recordName, record + nameOffset, sizeof(recordName));
        if (SameSpoolerName(recordName, name)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

template <typename Info>
int FindNamed(const SpoolerEnumBuffer& list, const wchar_t* name) {
    return FindNamedRecord(list, name, sizeof(Info), offsetof(Info, pName));
}

int BuildNumberOf(const void* versionBlock) {
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!version.VerQueryValueW(versionBlock, L"\\", reinterpret_cast<void**>(&info), &length) ||
        !info || length < sizeof(VS_FIXEDFILEINFO)) {
        return -1;
    }
    return LOWORD(info->dwFileVersionLS);
}

}  // namespace

SpoolerEnumBuffer& EnumerateMonitors(SpoolerEnumBuffer& list, InstallRun& run) {
    list = {nullptr, 2, 0};
    DWORD needed = 0;
    DWORD count = 0;
    if (QueryMonitors(nullptr, 0, needed, count)) {
        LogLine(run, "1. EnumMonitors returns true");
        return list;
    }
    if (kernel.GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LogEnumMonitorsFailure(run, "2. EnumMonitors  failed with code: %s");
        return list;
    }
    auto* block = static_cast<BYTE*>(AllocGlobal(needed));
    if (!block) {
        LogLine(run, "3. EnumMonitors - can't allocate memory for buffer");
        kernel.SetLastError(kNoMemory);
        return list;
    }
    if (!QueryMonitors(block, needed, needed, count)) {
        LogEnumMonitorsFailure(run, "3. EnumMonitors  failed with code: %s");
        FreeKeepingLastError(block);
        return list;
    }
    list.buffer = block;
    list.count = count;
    return list;
}

SpoolerEnumBuffer& EnumerateDrivers(SpoolerEnumBuffer& list, const wchar_t* environment) {
    list = {nullptr, 6, 0};
    DWORD needed = 0;
    DWORD count = 0;
    if (!SizeQueryAsksForBuffer(QueryDrivers(environment, nullptr, 0, needed, count))) {
        return list;
    }
    auto* block = static_cast<BYTE*>(AllocGlobal(needed));
    if (!block) {
        kernel.SetLastError(kNoMemory);
        return list;
    }
    if (!QueryDrivers(environment, block, needed, needed, count)) {
        FreeKeepingLastError(block);
        return list;
    }
    list.buffer = block;
    list.count = count;
    return list;
}

void EnumeratePrinters(PrinterList& list) {
    EnumeratePrinters(list.buffer, list.count);
}

void EnumeratePrinters(PRINTER_INFO_2W*& buffer, UINT32& count) {
    FreePrinterList(buffer, count);
    DWORD needed = 0;
    DWORD returned = 0;
    if (!SizeQueryAsksForBuffer(QueryPrinters(nullptr, 0, needed, returned))) {
        return;
    }
    buffer = static_cast<PRINTER_INFO_2W*>(AllocGlobal(needed));
    if (!buffer) {
        kernel.SetLastError(kNoMemory);
        return;
    }
    if (!QueryPrinters(reinterpret_cast<BYTE*>(buffer), needed, needed, returned)) {
        DWORD code = kernel.GetLastError();
        FreePrinterList(buffer, count);
        kernel.SetLastError(code);
        return;
    }
    count = returned;
}

void FreePrinterList(PrinterList& list) {
    FreePrinterList(list.buffer, list.count);
}

void FreePrinterList(PRINTER_INFO_2W*& buffer, UINT32& count) {
    FreeGlobal(buffer);
    buffer = nullptr;
    count = 0;
}

PrinterInfoBuffer& GetPrinterInfo2(PrinterInfoBuffer& info, HANDLE printer) {
    info = {nullptr, 0};
    DWORD needed = 0;
    // Only the error code tells whether there is a record to read; a stale
    // ERROR_INSUFFICIENT_BUFFER must not pass for the spooler's answer.
    kernel.SetLastError(ERROR_SUCCESS);
    winspool.GetPrinterW(printer, 2, nullptr, 0, &needed);
    if (kernel.GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return info;
    }
    info.size = needed;
    auto* block = static_cast<BYTE*>(AllocGlobal(needed));
    if (!block) {
        kernel.SetLastError(kNoMemory);
        return info;
    }
    if (!winspool.GetPrinterW(printer, 2, block, needed, &needed)) {
        FreeKeepingLastError(block);
        return info;
    }
    info.buffer = reinterpret_cast<PRINTER_INFO_2W*>(block);
    return info;
}

int FindProductMonitor(const SpoolerEnumBuffer& list) {
    switch (list.level) {
        case 1:
            return FindNamed<MONITOR_INFO_1W>(list, kMonitorName);
        case 2:
            return FindNamed<MONITOR_INFO_2W>(list, kMonitorName);
        default:
            return -1;
    }
}

int FindProductDriver(const SpoolerEnumBuffer& list) {
    switch (list.level) {
        case 1:
            return FindNamed<DRIVER_INFO_1W>(list, kDriverName);
        case 2:
            return FindNamed<DRIVER_INFO_2W>(list, kDriverName);
        case 3:
            return FindNamed<DRIVER_INFO_3W>(list, kDriverName);
        case 4:
            return FindNamed<DRIVER_INFO_4W>(list, kDriverName);
        case 5:
            return FindNamed<DRIVER_INFO_5W>(list, kDriverName);
        case 6:
            return FindNamed<DRIVER_INFO_6W>(list, kDriverName);
        default:
            return -1;
    }
}

int GetFileBuildNumber(const wchar_t* path) {
    DWORD handle = 0;
    DWORD size = version.GetFileVersionInfoSizeW(path, &handle);
    if (size == 0) {
        return -1;
    }
    UniqueGlobal block(AllocGlobal(size));
    if (!block || !version.GetFileVersionInfoW(path, handle, size, block.Get())) {
        return -1;
    }
    return BuildNumberOf(block.Get());
}

HANDLE AddLocalPrinter(PRINTER_INFO_2W& info) {
    return winspool.AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
}

BOOL PurgeAndDeletePrinter(HANDLE printer) {
    // A failed purge must not keep the printer: the deletion is what counts.
    winspool.SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE);
    return winspool.DeletePrinter(printer);
}

BOOL AddPrinterDriverLevel6(DRIVER_INFO_6W& info) {
    return winspool.AddPrinterDriverExW(nullptr, 6, reinterpret_cast<BYTE*>(&info),
                                        APD_COPY_ALL_FILES);
}

BOOL DeleteProductMonitor(const wchar_t* environment) {
    return winspool.DeleteMonitorW(nullptr, const_cast<LPWSTR>(environment),
                                   const_cast<LPWSTR>(kMonitorName));
}
