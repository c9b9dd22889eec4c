#include "spooler/printers.h"

#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "spooler/enumerations.h"
#include "spooler/port_monitor.h"
#include "spooler/printer_journal.h"
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

enum class SubKeyRead { Found, Absent, Failed };

// The spooler does not promise a terminator: a value that fills all 64 bytes
// is longer than a SubKey may be, and one of another type is not a SubKey.
// Only a read that failed outright leaves open whether there is one.
SubKeyRead ReadSubKeyFrom(HANDLE printer, const char* key, char* subKey) {
    ZeroMemory(subKey, kSubKeyBytes);
    DWORD type = 0;
    DWORD needed = 0;
    auto* data = reinterpret_cast<BYTE*>(subKey);
    DWORD status = key ? winspool.GetPrinterDataExA(printer, key, kSubKeyValue, &type, data,
                                                    kSubKeyBytes, &needed)
                       : winspool.GetPrinterDataA(printer, const_cast<LPSTR>(kSubKeyValue), &type,
                                                  data, kSubKeyBytes, &needed);
    if (status == ERROR_SUCCESS && type == REG_SZ && subKey[kSubKeyBytes - 1] == 0) {
        return SubKeyRead::Found;
    }
    ZeroMemory(subKey, kSubKeyBytes);
    SetLastError(status);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND || status == ERROR_MORE_DATA
               ? SubKeyRead::Absent
               : SubKeyRead::Failed;
}

// The plain value first, then the one under "DsUser". Failed, with the error
// of that read, when neither gave a SubKey and one of them could not be read.
SubKeyRead ReadSubKey(HANDLE printer, char* subKey) {
    SubKeyRead plain = ReadSubKeyFrom(printer, nullptr, subKey);
    if (plain == SubKeyRead::Found) {
        return plain;
    }
    DWORD plainError = GetLastError();
    SubKeyRead dsUser = ReadSubKeyFrom(printer, kDsUserKey, subKey);
    if (plain == SubKeyRead::Failed && dsUser != SubKeyRead::Found) {
        SetLastError(plainError);
        return plain;
    }
    return dsUser;
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

// Why a reinstall keeps a printer, as its error line says it.
struct KeepReason {
    INT32 number;
    const wchar_t* format;
};
constexpr KeepReason kNotOpened = {16, L"Can`t open printer '%s'"};
constexpr KeepReason kNotDeleted = {17, L"Can`t delete printer '%s'"};
constexpr KeepReason kNotJournaled = {18, L"Can`t journal printer '%s'"};

// A printer that could not be brought back as it was would be lost after its
// deletion: it stays, and the run says why, with the system's text for `code`.
void KeepPrinter(InstallRun& run, const wchar_t* name, const KeepReason& reason, DWORD code) {
    const wchar_t* shown = ShownName(name, kUnnamedPrinter);
    LogLine(run, L">DeletePrinter(%s)", shown);
    ++run.logDepth;
    SetLastError(code);
    LogError(run, reason.number, reason.format, shown);
    --run.logDepth;
}

void DropNewestSavedPrinter(InstallRun& run) {
    SavedPrinter* newest = run.savedPrinters;
    run.savedPrinters = newest->next;
    newest->next = nullptr;
    FreeSavedPrinters(newest);
}

// Journals the printer just saved; one that cannot be journaled stays.
bool JournalNewestSavedPrinter(InstallRun& run, const wchar_t* name) {
    if (JournalPrinter(*run.savedPrinters)) {
        return true;
    }
    DWORD code = GetLastError();
    ForgetJournaledPrinter(name);
    DropNewestSavedPrinter(run);
    KeepPrinter(run, name, kNotJournaled, code);
    return false;
}

// Whether a reinstall may take this printer out of the spooler before it
// reads its settings: not while the journal or the default mark is unknown.
bool MayTakeOut(InstallRun& run, const wchar_t* name, bool& journaled) {
    JournalLookup earlier = LookUpJournal(name);
    journaled = earlier == JournalLookup::Present;
    if (earlier == JournalLookup::Unknown) {
        KeepPrinter(run, name, kNotJournaled, GetLastError());
        return false;
    }
    if (!journaled && run.defaultPrinterError) {
        KeepPrinter(run, name, kNotDeleted, run.defaultPrinterError);
        return false;
    }
    return true;
}

// In a reinstall, only a printer whose settings are known is deleted, and
// only once they are journaled. One an earlier run left in the journal is
// the printer that run was bringing back when it was cut off: the journal
// holds it as it was, and it comes back from there.
void RemoveProductPrinter(InstallRun& run, PRINTER_INFO_2W& entry) {
    const wchar_t* name = entry.pPrinterName;
    bool journaled = false;
    if (run.reinstall && !MayTakeOut(run, name, journaled)) {
        return;
    }
    if (journaled) {
        RemovePrinter(run, name);
        return;
    }
    SaveOutcome saved = SavePrinterSubKey(run, entry);
    DWORD code = GetLastError();
    if (saved == SaveOutcome::NoMemory) {
        KeepPrinter(run, name, kNotDeleted, ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    if (run.reinstall && (saved == SaveOutcome::NotOpened || saved == SaveOutcome::Unreadable)) {
        KeepPrinter(run, name, saved == SaveOutcome::NotOpened ? kNotOpened : kNotDeleted, code);
        return;
    }
    bool inJournal = run.reinstall && saved == SaveOutcome::Saved;
    if (inJournal && !JournalNewestSavedPrinter(run, name)) {
        return;
    }
    // Still in the spooler: nothing is in transit.
    if (!RemovePrinter(run, name) && inJournal) {
        ForgetJournaledPrinter(name);
    }
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

// False, with the error of the call that failed, when the comment, the
// location or the default mark did not take. The default is set either way.
bool RestorePrinterDetails(HANDLE printer, const PRINTER_INFO_2W& old) {
    PrinterInfoBuffer info;
    GetPrinterInfo2(info, printer);
    UniqueGlobal held(info.buffer);
    if (!info.buffer) {
        return false;
    }
    info.buffer->pComment = old.pComment;
    info.buffer->pLocation = old.pLocation;
    bool written = winspool.SetPrinterW(printer, 2, reinterpret_cast<BYTE*>(info.buffer), 0);
    DWORD code = GetLastError();
    if (WasProductDefault(old) && !winspool.SetDefaultPrinterW(info.buffer->pPrinterName)) {
        return false;
    }
    SetLastError(code);
    return written;
}

enum class Restored { No, Partly, Fully };

// A printer back with its SubKey, comment, location and default mark leaves
// the journal; one that is back only in part stays there, so that the next
// install makes it whole, and the run says so.
Restored RestorePrinter(InstallRun& run, const SavedPrinter& saved) {
    const wchar_t* name = saved.printerEntry->pPrinterName;
    UniquePrinter printer(AddProductPrinter(run, name));
    if (!printer) {
        return Restored::No;
    }
    bool linked = WritePrinterSubKey(printer.Get(), saved.subKey);
    DWORD code = GetLastError();
    if (linked) {
        ClearMarkOfNewPrinter(printer.Get());
    }
    bool detailed = RestorePrinterDetails(printer.Get(), *saved.printerEntry);
    if (linked && detailed) {
        if (run.reinstall) {
            ForgetJournaledPrinter(name);
        }
        return Restored::Fully;
    }
    SetLastError(linked ? GetLastError() : code);
    LogError(run, 19, L"Can`t restore printer '%s' completely", ShownName(name, kUnnamedPrinter));
    return Restored::Partly;
}

bool SavedByThisRun(const InstallRun& run, const wchar_t* name) {
    for (const SavedPrinter* saved = run.savedPrinters; saved; saved = saved->next) {
        if (CompareStringOrdinal(saved->printerEntry->pPrinterName, -1, name, -1, TRUE) ==
            CSTR_EQUAL) {
            return true;
        }
    }
    return false;
}

bool PrinterOpens(const wchar_t* name) {
    HANDLE printer = nullptr;
    if (!winspool.OpenPrinterW(const_cast<LPWSTR>(name), &printer, nullptr)) {
        return false;
    }
    ClosePrinterHandle(printer);
    return true;
}

// An entry this run did not write, of a printer that is not there: an
// earlier run took it out and did not bring it back. A printer that is there
// but did not open is refused by AddPrinterW as a name that exists.
bool IsLeftOver(const InstallRun& run, const JournalEntry& entry) {
    return !SavedByThisRun(run, entry.name) && !PrinterOpens(entry.name);
}

Restored RestoreFromJournal(InstallRun& run, JournalEntry& entry) {
    LogLine(run, L"Printer '%s' was left out by an earlier run: restoring it from the journal",
            entry.name);
    PRINTER_INFO_2W old = {};
    old.pPrinterName = entry.name;
    old.pComment = const_cast<LPWSTR>(entry.comment);
    old.pLocation = const_cast<LPWSTR>(entry.location);
    old.pDriverName = const_cast<LPWSTR>(kDriverName);
    old.Attributes = entry.wasDefault ? PRINTER_ATTRIBUTE_DEFAULT : 0;
    SavedPrinter saved = {entry.subKey, &old, nullptr};
    return RestorePrinter(run, saved);
}

// Returns how many came back. An entry that leaves the journal hands its
// index to the next one.
int RestoreLeftOverPrinters(InstallRun& run) {
    int restored = 0;
    JournalEntry entry = {};
    for (DWORD index = 0;;) {
        JournalRead read = ReadJournalEntry(index, entry);
        if (read == JournalRead::End) {
            break;
        }
        if (read == JournalRead::Unreadable) {
            LogError(run, 21, L"Can`t read the journal entry of printer '%s'",
                     ShownName(entry.name, kUnnamedPrinter));
            // Without even its name the journal itself did not answer.
            if (!entry.name[0]) {
                break;
            }
            ++index;
            continue;
        }
        Restored outcome = IsLeftOver(run, entry) ? RestoreFromJournal(run, entry) : Restored::No;
        restored += outcome != Restored::No;
        index += outcome != Restored::Fully;
    }
    return restored;
}

}  // namespace

void RemoveProductPrinters(InstallRun& run) {
    LogLine(run, L">DeleteAllPrinters");
    ++run.logDepth;
    for (UINT32 i = 0; i < run.printerCount; ++i) {
        if (SameSpoolerName(run.printers[i].pDriverName, kDriverName)) {
            RemoveProductPrinter(run, run.printers[i]);
        }
    }
    --run.logDepth;
}

bool RemovePrinter(InstallRun& run, const wchar_t* name) {
    LogLine(run, L">DeletePrinter(%s)", ShownName(name, kUnnamedPrinter));
    ++run.logDepth;
    PRINTER_DEFAULTSW access = {nullptr, nullptr, kDeleteAccess};
    UniquePrinter printer(OpenNamedPrinter(name, &access));
    bool deleted = printer && PurgeAndDeletePrinter(printer.Get());
    if (!printer) {
        LogError(run, kNotOpened.number, kNotOpened.format, ShownName(name, kUnnamedPrinter));
    } else if (deleted) {
        LogLine(run, L"OK");
    } else {
        LogError(run, kNotDeleted.number, kNotDeleted.format, ShownName(name, kUnnamedPrinter));
    }
    --run.logDepth;
    return deleted;
}

SaveOutcome SavePrinterSubKey(InstallRun& run, PRINTER_INFO_2W& entry) {
    HANDLE printer = OpenNamedPrinter(entry.pPrinterName, nullptr);
    if (!printer) {
        return SaveOutcome::NotOpened;
    }
    char subKey[kSubKeyBytes];
    SubKeyRead read = ReadSubKey(printer, subKey);
    DWORD code = GetLastError();
    ClosePrinterHandle(printer);
    SetLastError(code);
    if (read == SubKeyRead::Failed) {
        return SaveOutcome::Unreadable;
    }
    if (subKey[0] == 0) {
        return SaveOutcome::NoSubKey;
    }
    return PushSavedPrinter(run, subKey, entry) ? SaveOutcome::Saved : SaveOutcome::NoMemory;
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
        restored += RestorePrinter(run, *saved) != Restored::No;
    }
    if (run.reinstall) {
        restored += RestoreLeftOverPrinters(run);
    }
    if (restored == 0) {
        UniquePrinter fallback(AddProductPrinter(run, kFallbackPrinterName));
    }
    if (run.reinstall) {
        CloseJournal(false);
    }
}

bool WritePrinterSubKey(HANDLE printer, const char* subKey) {
    const char* text = subKey ? subKey : "";
    auto* data = reinterpret_cast<BYTE*>(const_cast<char*>(text));
    DWORD bytes = lstrlenA(text) + 1;
    winspool.SetPrinterDataA(printer, const_cast<LPSTR>(kSubKeyValue), REG_SZ, data, bytes);
    DWORD status =
        winspool.SetPrinterDataExA(printer, kDsUserKey, kSubKeyValue, REG_SZ, data, bytes);
    SetLastError(status);
    return status == ERROR_SUCCESS;
}

void ReadPrinterSubKey(HANDLE printer, char* subKey) {
    ReadSubKey(printer, subKey);
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
