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

// The system's text keeps its trailing line break here: the log shows an
// empty line after it. `step` is the failed call's: 2 without a buffer, 3 with.
void LogEnumMonitorsFailure(InstallRun& run, int step) {
    DWORD code = kernel.GetLastError();
    wchar_t* text = nullptr;
    DWORD length = kernel.FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    UniqueLocal held(reinterpret_cast<HLOCAL>(text));
    LogLine(run, "%d. EnumMonitors  failed with code: %s", step,
            length != 0 && text ? text : L"No Error or no description");
    kernel.SetLastError(code);
}

BOOL QueryMonitors(BYTE* block, DWORD size, DWORD& needed, DWORD& count) {
    return winspool.EnumMonitorsW(nullptr, 2, block, size, &needed, &count);
}

// What the spooler answers into a block of the size it asks for, or null with
// its error (E_OUTOFMEMORY when no such block could be had).
template <typename Query>
void* ReadAnswer(Query query, DWORD& needed) {
    UniqueGlobal block;
    if (ReadSized(query, block, needed) == SizedRead::NoMemory) {
        kernel.SetLastError(kNoMemory);
    }
    return block.Release();
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
    UniqueGlobal block;
    auto monitors = [&](BYTE* data, DWORD bytes, DWORD& asked) {
        return QueryMonitors(data, bytes, asked, count);
    };
    SizedRead read = ReadSized(monitors, block, needed);
    if (read == SizedRead::Read) {
        list.count = count;
    } else if (read == SizedRead::Nothing) {
        LogLine(run, "1. EnumMonitors returns true");
    } else if (read == SizedRead::NoMemory) {
        LogLine(run, "3. EnumMonitors - can't allocate memory for buffer");
        kernel.SetLastError(kNoMemory);
    } else {
        LogEnumMonitorsFailure(run, read == SizedRead::Refused ? 2 : 3);
    }
    list.buffer = block.Release();
    return list;
}

SpoolerEnumBuffer& EnumerateDrivers(SpoolerEnumBuffer& list, const wchar_t* environment) {
    DWORD needed = 0;
    DWORD count = 0;
    list.buffer = ReadAnswer(
        [&](BYTE* data, DWORD bytes, DWORD& asked) {
            return winspool.EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(environment), 6, data,
                                                bytes, &asked, &count);
        },
        needed);
    list.level = 6;
    list.count = list.buffer ? count : 0;
    return list;
}

void EnumeratePrinters(PrinterList& list) {
    EnumeratePrinters(list.buffer, list.count);
}

void EnumeratePrinters(PRINTER_INFO_2W*& buffer, UINT32& count) {
    FreePrinterList(buffer, count);
    DWORD needed = 0;
    DWORD returned = 0;
    buffer = static_cast<PRINTER_INFO_2W*>(ReadAnswer(
        [&](BYTE* data, DWORD bytes, DWORD& asked) {
            return winspool.EnumPrintersW(kPrinterEnumFlags, nullptr, 2, data, bytes, &asked,
                                          &returned);
        },
        needed));
    count = buffer ? returned : 0;
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
    DWORD needed = 0;
    info.buffer = static_cast<PRINTER_INFO_2W*>(ReadAnswer(
        [&](BYTE* data, DWORD bytes, DWORD& asked) {
            return winspool.GetPrinterW(printer, 2, data, bytes, &asked);
        },
        needed));
    info.size = needed;
    return info;
}

SizedRead ReadSized(SizedQuery query, void* context, UniqueGlobal& block, DWORD& needed,
                    DWORD extra) {
    block.Reset();
    needed = 0;
    // Only a failure's error code tells that there is something to read: a
    // stale ERROR_INSUFFICIENT_BUFFER must not pass for the spooler's answer.
    kernel.SetLastError(ERROR_SUCCESS);
    if (query(context, nullptr, 0, needed)) {
        kernel.SetLastError(ERROR_SUCCESS);
        return SizedRead::Nothing;
    }
    if (kernel.GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return SizedRead::Refused;
    }
    block.Reset(AllocGlobal(SIZE_T{needed} + extra));
    if (!block) {
        return SizedRead::NoMemory;
    }
    DWORD asked = needed;
    if (!query(context, static_cast<BYTE*>(block.Get()), needed, asked)) {
        // Freeing the block must not hide the spooler's error.
        DWORD code = kernel.GetLastError();
        block.Reset();
        kernel.SetLastError(code);
        return SizedRead::Failed;
    }
    return SizedRead::Read;
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
