// Reading spooler state with the two-call size protocol, finding the product's
// monitor and driver in what was read, and the single spooler calls the other
// spooler steps make. Buffers are zero-filled blocks of the fixed global heap,
// owned by the record that holds them.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "core/install_run.h"
#include "core/handles.h"
#include "core/kernel_api.h"

// Monitors (MONITOR_INFO_2, level 2) or drivers (DRIVER_INFO_6, level 6). The
// owner frees `buffer` with FreeGlobal.
struct SpoolerEnumBuffer {
    void* buffer;
    INT32 level;
    UINT32 count;
};

// Local printers and connections at level 2. The run's `printers` and
// `printerCount` are one such list kept as two fields.
struct PrinterList {
    PRINTER_INFO_2W* buffer;
    UINT32 count;
};

// One printer at level 2; `size` is what the spooler asked for. The owner
// frees `buffer` with FreeGlobal.
struct PrinterInfoBuffer {
    PRINTER_INFO_2W* buffer;
    UINT32 size;
};

// How a spooler name stands in a log line: `absent` for a missing or empty one.
inline constexpr wchar_t kUnnamedInList[] = L"***EMPTY***";
inline constexpr wchar_t kUnnamedPrinter[] = L"*";
inline const wchar_t* ShownName(const wchar_t* name, const wchar_t* absent) {
    return name && *name ? name : absent;
}

// How a read with the spooler's two-call size protocol ended: a call without
// a buffer fails with ERROR_INSUFFICIENT_BUFFER and the size it needs, and a
// second call fills a block of that size.
enum class SizedRead : BYTE {
    Read,      // the block holds the answer
    Nothing,   // the first call succeeded: there is nothing to read (last error 0)
    Refused,   // the first call failed otherwise
    NoMemory,  // no block of that size (the allocator's last error)
    Failed,    // the second call failed
};
// One call: `block` null and `bytes` 0 the first time.
using SizedQuery = BOOL (*)(void* context, BYTE* block, DWORD bytes, DWORD& needed);
// Makes both calls. `needed` is the size the first call asked for; the block
// has `extra` bytes more, zero-filled. On every outcome but Read `block` is
// empty, and the last error is the spooler's unless said above.
SizedRead ReadSized(SizedQuery query, void* context, UniqueGlobal& block, DWORD& needed,
                    DWORD extra = 0);
template <typename Query>
SizedRead ReadSized(Query query, UniqueGlobal& block, DWORD& needed, DWORD extra = 0) {
    auto call = [](void* context, BYTE* data, DWORD bytes, DWORD& asked) -> BOOL {
        return (*static_cast<Query*>(context))(data, bytes, asked);
    };
    return ReadSized(call, &query, block, needed, extra);
}

SpoolerEnumBuffer& EnumerateMonitors(SpoolerEnumBuffer& list, InstallRun& run);
SpoolerEnumBuffer& EnumerateDrivers(SpoolerEnumBuffer& list, const wchar_t* environment);
// Both free an earlier buffer of the list first.
void EnumeratePrinters(PrinterList& list);
void EnumeratePrinters(PRINTER_INFO_2W*& buffer, UINT32& count);
void FreePrinterList(PrinterList& list);
void FreePrinterList(PRINTER_INFO_2W*& buffer, UINT32& count);
PrinterInfoBuffer& GetPrinterInfo2(PrinterInfoBuffer& info, HANDLE printer);

// 0-based index of the first record of that name, or -1.
int FindProductMonitor(const SpoolerEnumBuffer& list);
int FindProductDriver(const SpoolerEnumBuffer& list);

// The fourth number of the file version a.b.c.d, or -1.
int GetFileBuildNumber(const wchar_t* path);

// One spooler call each; on failure the last error is the spooler's.
HANDLE AddLocalPrinter(PRINTER_INFO_2W& info);
BOOL PurgeAndDeletePrinter(HANDLE printer);
BOOL AddPrinterDriverLevel6(DRIVER_INFO_6W& info);
BOOL DeleteProductMonitor(const wchar_t* environment);
