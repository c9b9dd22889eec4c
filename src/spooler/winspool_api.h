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
// On Wine, winspool.AddPrinterW is a wrapper that gives a printer without a
// datatype WinPrint's default "RAW" (see winspool_api.cpp).
bool BindSpoolerLibraries();

namespace winspool_detail {
// The spooler's own AddPrinterW, which the wrapper calls on Wine.
extern decltype(&::AddPrinterW) spoolerAddPrinterW;
}  // namespace winspool_detail

namespace winspool_detail {
inline void ClosePrinterHandle(HANDLE h) {
    winspool.ClosePrinter(h);
}
}  // namespace winspool_detail
using UniquePrinter = Unique<HANDLE, &winspool_detail::ClosePrinterHandle>;
