// The spooler client (winspool.drv) and the version library, bound at run time
// from System32 only: neither is a KnownDLL, and an elevated installer started
// from a download folder must not pick up a planted copy from there. Product
// code calls through these tables; tests replace single entries.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "core/handles.h"

struct WinspoolApi {
    decltype(&::EnumMonitorsW) EnumMonitorsW;
    decltype(&::EnumPrinterDriversW) EnumPrinterDriversW;
    decltype(&::EnumPrintersW) EnumPrintersW;
    decltype(&::GetPrinterW) GetPrinterW;
    decltype(&::OpenPrinterW) OpenPrinterW;
    decltype(&::SetPrinterW) SetPrinterW;
    decltype(&::ClosePrinter) ClosePrinter;
    decltype(&::AddPrinterW) AddPrinterW;
    decltype(&::DeletePrinter) DeletePrinter;
    decltype(&::AddMonitorW) AddMonitorW;
    decltype(&::DeleteMonitorW) DeleteMonitorW;
    decltype(&::AddPrinterDriverExW) AddPrinterDriverExW;
    decltype(&::DeletePrinterDriverExW) DeletePrinterDriverExW;
    decltype(&::GetPrinterDriverDirectoryW) GetPrinterDriverDirectoryW;
    decltype(&::GetPrinterDataA) GetPrinterDataA;
    decltype(&::GetPrinterDataExA) GetPrinterDataExA;
    decltype(&::SetPrinterDataA) SetPrinterDataA;
    decltype(&::SetPrinterDataExA) SetPrinterDataExA;
    // Everything else a printer holds, carried over by a reinstall.
    decltype(&::EnumPrinterKeyW) EnumPrinterKeyW;
    decltype(&::EnumPrinterDataExW) EnumPrinterDataExW;
    decltype(&::SetPrinterDataExW) SetPrinterDataExW;
    decltype(&::DocumentPropertiesW) DocumentPropertiesW;
    BOOL(WINAPI* GetDefaultPrinterW)(LPWSTR, LPDWORD);  // ordinal 203
    BOOL(WINAPI* SetDefaultPrinterW)(LPCWSTR);          // ordinal 204
};

struct VersionApi {
    decltype(&::GetFileVersionInfoSizeW) GetFileVersionInfoSizeW;
    decltype(&::GetFileVersionInfoW) GetFileVersionInfoW;
    decltype(&::VerQueryValueW) VerQueryValueW;
};

extern WinspoolApi winspool;
extern VersionApi version;

// Loads both libraries from System32 and fills the tables. False when a library
// or one of its functions is missing; the tables are then left as they were.
// On Wine, AddPrinterW, DeletePrinterDriverExW and EnumPrinterKeyW are
// wrappers that give the results Windows gives, and ClosePrinter one that
// lets EnumPrinterKeyW's wrapper forget the handle (see winspool_api.cpp).
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
