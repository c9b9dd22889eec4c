// The spooler client (winspool.drv) and the version library, bound at run time
// from System32 only: neither is a KnownDLL, and an elevated installer started
// from a download folder must not pick up a planted copy from there. Product
// code calls through these tables; tests replace single entries.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "core/handles.h"
#include "core/os_tables.h"

// How a failing entry answers differs: most with FALSE or null and the last
// error, the printer-data calls with the status itself, DocumentPropertiesW
// with a negative size (the chaos harness answers as each does).
#define WINSPOOL_CALLS(X)                                               \
    X(EnumMonitorsW, kFaulted)                                          \
    X(EnumPrinterDriversW, kFaulted)                                    \
    X(EnumPrintersW, kFaulted)                                          \
    X(GetPrinterW, kFaulted)                                            \
    X(OpenPrinterW, kFaulted)                                           \
    X(SetPrinterW, kFaulted)                                            \
    X(ClosePrinter, kKept)                                              \
    X(AddPrinterW, kFaulted)                                            \
    X(DeletePrinter, kFaulted)                                          \
    X(AddMonitorW, kFaulted)                                            \
    X(DeleteMonitorW, kFaulted)                                         \
    X(AddPrinterDriverExW, kFaulted)                                    \
    X(DeletePrinterDriverExW, kFaulted)                                 \
    X(GetPrinterDriverDirectoryW, kFaulted)                             \
    X(GetPrinterDataA, kFaulted)                                        \
    X(GetPrinterDataExA, kFaulted)                                      \
    X(SetPrinterDataA, kFaulted)                                        \
    X(SetPrinterDataExA, kFaulted)                                      \
    /* Everything else a printer holds, carried over by a reinstall. */ \
    X(EnumPrinterKeyW, kFaulted)                                        \
    X(EnumPrinterDataExW, kFaulted)                                     \
    X(SetPrinterDataExW, kFaulted)                                      \
    X(DocumentPropertiesW, kFaulted)                                    \
    /* Exported by ordinal only. */                                     \
    X(GetDefaultPrinterW, kFaulted | Ordinal(203))                      \
    X(SetDefaultPrinterW, kFaulted | Ordinal(204))

#define VERSION_CALLS(X)                 \
    X(GetFileVersionInfoSizeW, kFaulted) \
    X(GetFileVersionInfoW, kFaulted)     \
    X(VerQueryValueW, kFaulted)

struct WinspoolApi {
    WINSPOOL_CALLS(ZRL_OS_FIELD)
};

struct VersionApi {
    VERSION_CALLS(ZRL_OS_FIELD)
};

extern WinspoolApi winspool;
extern VersionApi version;

// Binds every OS table: the system's (BindSystemTables, core/os_tables.h),
// then the spooler client's and the version library's, both loaded from
// System32. False when a library or one of its functions is missing; the
// spooler's tables are then left as they were. On Wine, AddPrinterW, DeletePrinterDriverExW and
// EnumPrinterKeyW are wrappers that give the results Windows gives, and ClosePrinter one that lets
// EnumPrinterKeyW's wrapper forget the handle (see winspool_api.cpp).
bool BindOsTables();
// The spooler's part of BindOsTables alone; tests bind it again.
bool BindSpoolerLibraries();

namespace winspool_detail {
// The spooler's own functions, which the wrappers call on Wine.
extern WinspoolApi exports;
}  // namespace winspool_detail

// ClosePrinter's result; also the guard's way to close a printer handle.
inline BOOL ClosePrinterHandle(HANDLE printer) {
    return winspool.ClosePrinter(printer);
}
using UniquePrinter = Unique<HANDLE, &ClosePrinterHandle>;

// Opens `name` into the guard. A failed open leaves it empty: the spooler does
// not promise to leave the handle alone then.
inline bool OpenPrinterInto(const wchar_t* name, PRINTER_DEFAULTSW* defaults,
                            UniquePrinter& printer) {
    if (winspool.OpenPrinterW(const_cast<LPWSTR>(name), printer.Put(), defaults)) {
        return true;
    }
    printer.Release();
    return false;
}
