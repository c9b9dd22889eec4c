#include "spooler/printers.h"

#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "spooler/enumerations.h"
#include "spooler/port_monitor.h"
#include "spooler/winspool_api.h"

namespace {

// The text that RestorePrinters hands to ClearSettingsDeletedMark: the prefix
// and a SubKey read back into the 64 bytes that follow it.
constexpr DWORD kRelativeKeyBytes = 260;
constexpr DWORD kSettingsPathBytes = sizeof(kProductKey) + kRelativeKeyBytes;
constexpr DWORD kDeleteAccess = DELETE | PRINTER_ACCESS_ADMINISTER;

HANDLE OpenNamedPrinter(const wchar_t* name, PRINTER_DEFAULTSW* defaults) {
    HANDLE printer = nullptr;
    if (!winspool.OpenPrinterW(const_cast<LPWSTR>(name), &printer, defaults)) {
        return nullptr;
    }
    return printer;
}

// The spooler does not promise a terminator: a value that fills all 64 bytes
// is longer than a SubKey may be, and one of another type is not a SubKey.
bool ReadSubKeyFrom(HANDLE printer, const char* key, char* subKey) {
    ZeroMemory(subKey, kSubKeyBytes);
    DWORD type = 0;
    DWORD needed = 0;
    auto* data = reinterpret_cast<BYTE*>(subKey);
    DWORD status = key ? winspool.GetPrinterDataExA(printer, key, kSubKeyValue, &type, data,
                                                    kSubKeyBytes, &needed)
                       : winspool.GetPrinterDataA(printer, const_cast<LPSTR>(kSubKeyValue), &type,
                                                  data, kSubKeyBytes, &needed);
    return status == ERROR_SUCCESS && type == REG_SZ && subKey[kSubKeyBytes - 1] == 0;
}

// False when there is no memory for the record.
bool PushSavedPrinter(InstallRun& run, const char* subKey, PRINTER_INFO_2W& entry) {
    auto* record = static_cast<SavedPrinter*>(AllocGlobal(sizeof(SavedPrinter)));
    if (!record) {
        return false;
    }
    SIZE_T bytes = lstrlenA(subKey) + 1;
    record->subKey = static_cast<char*>(AllocGlobal(bytes));
    if (!record->subKey) {
        FreeGlobal(record);
        return false;
    }
    CopyMemory(record->subKey, subKey, bytes);
    record->printerEntry = &entry;
    record->next = run.savedPrinters;
    run.savedPrinters = record;
    return true;
}

// A printer whose settings cannot be remembered would be gone for good after
// its deletion: it stays, and the run says why.
void KeepUnsavedPrinter(InstallRun& run, const wchar_t* name) {
    LogLine(run, L">DeletePrinter(%s)", ShownName(name, kUnnamedPrinter));
    ++run.logDepth;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    LogError(run, 17, L"Can`t delete printer '%s'", ShownName(name, kUnnamedPrinter));
    --run.logDepth;
}

void LogProductMonitorSearch(InstallRun& run) {
    LogLine(run, L"Let's check our port monitors");
    SpoolerEnumBuffer monitors;
    EnumerateMonitors(monitors, run);
    UniqueGlobal held(monitors.buffer);
    if (FindProductMonitor(monitors) >= 0) {
        LogLine(run, L"Port monitor is found");
        return;
    }
    LogLine(run, L"No Zantorelle port monitor was found.");
    if (monitors.count != 0) {
        LogMonitorList(run, monitors);
    } else {
        LogLine(run, L"BTW, there is no port monitors on this system.");
    }
}

// The settings key is cleared by the SubKey the new printer reports, which is
// what ties it to that key from now on.
void ClearMarkOfNewPrinter(HANDLE printer) {
    char relativeKey[kRelativeKeyBytes] = {};
    lstrcpyA(relativeKey, kSettingsKeyPrefix);
    char* subKey = relativeKey + lstrlenA(kSettingsKeyPrefix);
    ReadPrinterSubKey(printer, subKey);
    if (subKey[0] != 0) {
        ClearSettingsDeletedMark(relativeKey);
    }
}

bool WasProductDefault(const PRINTER_INFO_2W& old) {
    return (old.Attributes & PRINTER_ATTRIBUTE_DEFAULT) != 0 &&
           SameSpoolerName(old.pDriverName, kDriverName);
}

// Failures here are not reported: the printer is back, only its details are not.
void RestorePrinterDetails(HANDLE printer, const PRINTER_INFO_2W& old) {
    PrinterInfoBuffer info;
    GetPrinterInfo2(info, printer);
    UniqueGlobal held(info.buffer);
    if (!info.buffer) {
        return;
    }
    info.buffer->pComment = old.pComment;
    info.buffer->pLocation = old.pLocation;
    winspool.SetPrinterW(printer, 2, reinterpret_cast<BYTE*>(info.buffer), 0);
    if (WasProductDefault(old)) {
        winspool.SetDefaultPrinterW(info.buffer->pPrinterName);
    }
}

bool RestorePrinter(InstallRun& run, const SavedPrinter& saved) {
    UniquePrinter printer(AddProductPrinter(run, saved.printerEntry->pPrinterName));
    if (!printer) {
        return false;
    }
    if (WritePrinterSubKey(printer.Get(), saved.subKey)) {
        ClearMarkOfNewPrinter(printer.Get());
    }
    RestorePrinterDetails(printer.Get(), *saved.printerEntry);
    return true;
}

}  // namespace

void RemoveProductPrinters(InstallRun& run) {
    LogLine(run, L">DeleteAllPrinters");
    ++run.logDepth;
    for (UINT32 i = 0; i < run.printerCount; ++i) {
        PRINTER_INFO_2W& entry = run.printers[i];
        if (!SameSpoolerName(entry.pDriverName, kDriverName)) {
            continue;
        }
        if (SavePrinterSubKey(run, entry)) {
            RemovePrinter(run, entry.pPrinterName);
        } else {
            KeepUnsavedPrinter(run, entry.pPrinterName);
        }
    }
    --run.logDepth;
}

void RemovePrinter(InstallRun& run, const wchar_t* name) {
    LogLine(run, L">DeletePrinter(%s)", ShownName(name, kUnnamedPrinter));
    ++run.logDepth;
    PRINTER_DEFAULTSW access = {nullptr, nullptr, kDeleteAccess};
    UniquePrinter printer(OpenNamedPrinter(name, &access));
    if (!printer) {
        LogError(run, 16, L"Can`t open printer '%s'", ShownName(name, kUnnamedPrinter));
    } else if (PurgeAndDeletePrinter(printer.Get())) {
        LogLine(run, L"OK");
    } else {
        LogError(run, 17, L"Can`t delete printer '%s'", ShownName(name, kUnnamedPrinter));
    }
    --run.logDepth;
}

bool SavePrinterSubKey(InstallRun& run, PRINTER_INFO_2W& entry) {
    UniquePrinter printer(OpenNamedPrinter(entry.pPrinterName, nullptr));
    if (!printer) {
        return true;
    }
    char subKey[kSubKeyBytes];
    ReadPrinterSubKey(printer.Get(), subKey);
    return subKey[0] == 0 || PushSavedPrinter(run, subKey, entry);
}

HANDLE AddProductPrinter(InstallRun& run, const wchar_t* name) {
    LogLine(run, L">AddPrinter(%s)", ShownName(name, kUnnamedPrinter));
    ++run.logDepth;
    LogProductMonitorSearch(run);
    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(name);
    info.pPortName = const_cast<LPWSTR>(kPortName);
    info.pDriverName = const_cast<LPWSTR>(kDriverName);
    info.pComment = const_cast<LPWSTR>(L"");
    info.pPrintProcessor = const_cast<LPWSTR>(kPrintProcessor);
    HANDLE printer = AddLocalPrinter(info);
    if (printer) {
        LogLine(run, L"OK :)");
    } else {
        LogError(run, 15, L"Can`t add printer '%s'", ShownName(name, kUnnamedPrinter));
    }
    --run.logDepth;
    return printer;
}

void RestorePrinters(InstallRun& run) {
    int restored = 0;
    for (const SavedPrinter* saved = run.savedPrinters; saved; saved = saved->next) {
        if (RestorePrinter(run, *saved)) {
            ++restored;
        }
    }
    if (restored == 0) {
        UniquePrinter fallback(AddProductPrinter(run, kFallbackPrinterName));
    }
}

bool WritePrinterSubKey(HANDLE printer, const char* subKey) {
    const char* text = subKey ? subKey : "";
    auto* data = reinterpret_cast<BYTE*>(const_cast<char*>(text));
    DWORD bytes = lstrlenA(text) + 1;
    winspool.SetPrinterDataA(printer, const_cast<LPSTR>(kSubKeyValue), REG_SZ, data, bytes);
    return winspool.SetPrinterDataExA(printer, kDsUserKey, kSubKeyValue, REG_SZ, data, bytes) ==
           ERROR_SUCCESS;
}

void ReadPrinterSubKey(HANDLE printer, char* subKey) {
    if (!ReadSubKeyFrom(printer, nullptr, subKey) && !ReadSubKeyFrom(printer, kDsUserKey, subKey)) {
        ZeroMemory(subKey, kSubKeyBytes);
    }
}

bool ClearSettingsDeletedMark(const char* relativeKey) {
    if (!relativeKey || lstrlenA(relativeKey) >= static_cast<int>(kRelativeKeyBytes)) {
        return false;
    }
    char path[kSettingsPathBytes];
    wsprintfA(path, "%s\\%s", kProductKey, relativeKey);
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS, &opened) != ERROR_SUCCESS) {
        return false;
    }
    UniqueKey key(opened);
    return RegDeleteValueA(key.Get(), kDeletedValue) == ERROR_SUCCESS;
}

void FreeSavedPrinters(SavedPrinter*& head) {
    while (head) {
        SavedPrinter* next = head->next;
        FreeGlobal(head->subKey);
        FreeGlobal(head);
        head = next;
    }
}
