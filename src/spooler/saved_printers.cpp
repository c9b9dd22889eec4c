#include "spooler/saved_printers.h"

#include "core/kernel_api.h"
#include "spooler/printer_journal.h"
#include "spooler/printer_owed.h"
#include "spooler/printer_properties.h"
#include "spooler/printer_record.h"
#include "spooler/winspool_api.h"
#include "core/handles.h"

namespace {

// Reading the security descriptor needs READ_CONTROL; the printer data and
// the SubKey need no more than use.
constexpr DWORD kReadAccess = PRINTER_ACCESS_USE | READ_CONTROL;

// A record of the list, not on it yet; null without memory.
SavedPrinter* NewSavedPrinter(const char* subKey, PRINTER_INFO_2W& entry) {
    auto* saved = static_cast<SavedPrinter*>(AllocGlobal(sizeof(SavedPrinter)));
    if (!saved) {
        return nullptr;
    }
    SIZE_T bytes = kernel.lstrlenA(subKey) + 1;
    saved->subKey = static_cast<char*>(AllocGlobal(bytes));
    if (!saved->subKey) {
        FreeGlobal(saved);
        return nullptr;
    }
    CopyMemory(saved->subKey, subKey, bytes);
    saved->printerEntry = &entry;
    return saved;
}

void PushSavedPrinter(InstallRun& run, SavedPrinter* saved) {
    saved->next = run.savedPrinters;
    run.savedPrinters = saved;
}

SaveOutcome ReadSubKeyOf(HANDLE printer, char (&subKey)[kSubKeyBytes]) {
    SubKeyRead read = ReadSubKey(printer, subKey);
    if (read == SubKeyRead::Failed) {
        return SaveOutcome::Unreadable;
    }
    return subKey[0] ? SaveOutcome::Saved : SaveOutcome::NoSubKey;
}

}  // namespace

SaveOutcome SavePrinterSubKey(InstallRun& run, PRINTER_INFO_2W& entry) {
    UniquePrinter printer;
    if (!OpenPrinterInto(entry.pPrinterName, nullptr, printer)) {
        return SaveOutcome::NotOpened;
    }
    char subKey[kSubKeyBytes];
    SaveOutcome outcome = ReadSubKeyOf(printer.Get(), subKey);
    if (outcome != SaveOutcome::Saved) {
        return outcome;
    }
    SavedPrinter* saved = NewSavedPrinter(subKey, entry);
    if (!saved) {
        return SaveOutcome::NoMemory;
    }
    PushSavedPrinter(run, saved);
    return SaveOutcome::Saved;
}

SaveOutcome ReadForTransit(InstallRun& run, PRINTER_INFO_2W& entry, char (&subKey)[kSubKeyBytes],
                           void*& record, DWORD& bytes) {
    PRINTER_DEFAULTSW access = {nullptr, nullptr, kReadAccess};
    UniquePrinter printer;
    if (!OpenPrinterInto(entry.pPrinterName, &access, printer)) {
        return SaveOutcome::NotOpened;
    }
    SaveOutcome outcome = ReadSubKeyOf(printer.Get(), subKey);
    // One that owes its SubKey (its write did not take) is read all the same:
    // what it owes gives it the SubKey. One that may owe it is not deleted
    // as a printer without one.
    bool owes = false;
    if (outcome == SaveOutcome::NoSubKey) {
        outcome = !OwesSubKey(entry.pPrinterName, owes) ? SaveOutcome::Unreadable
                  : owes                                ? SaveOutcome::Saved
                                                        : SaveOutcome::NoSubKey;
    }
    if (outcome != SaveOutcome::Saved) {
        return outcome;
    }
    // The record a reinstall journals and restores from: the SubKey first,
    // then everything else.
    if (!RecordPrinterAsItIs(run, printer.Get(), subKey, entry, record, bytes)) {
        return kernel.GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? SaveOutcome::NoMemory
                                                                : SaveOutcome::Incomplete;
    }
    return SaveOutcome::Saved;
}

SaveOutcome JournalForTransit(InstallRun& run, PRINTER_INFO_2W& entry, const char* subKey,
                              void* record, DWORD bytes) {
    UniqueGlobal held(record);
    SavedPrinter* saved = NewSavedPrinter(subKey, entry);
    if (!saved) {
        return SaveOutcome::NoMemory;
    }
    if (!JournalPrinter(entry.pPrinterName, record, bytes)) {
        DWORD code = kernel.GetLastError();
        ForgetJournaledPrinter(entry.pPrinterName);
        FreeSavedPrinters(saved);
        kernel.SetLastError(code);
        return SaveOutcome::Incomplete;
    }
    saved->record = held.Release();
    saved->recordBytes = bytes;
    PushSavedPrinter(run, saved);
    return SaveOutcome::Saved;
}

void DropSavedPrinter(InstallRun& run, const PRINTER_INFO_2W& entry) {
    for (SavedPrinter** link = &run.savedPrinters; *link; link = &(*link)->next) {
        if ((*link)->printerEntry == &entry) {
            SavedPrinter* dropped = *link;
            *link = dropped->next;
            dropped->next = nullptr;
            FreeSavedPrinters(dropped);
            return;
        }
    }
}

bool SavedByThisRun(const InstallRun& run, const wchar_t* name) {
    for (const SavedPrinter* saved = run.savedPrinters; saved; saved = saved->next) {
        if (kernel.CompareStringOrdinal(saved->printerEntry->pPrinterName, -1, name, -1, TRUE) ==
            CSTR_EQUAL) {
            return true;
        }
    }
    return false;
}

void FreeSavedPrinters(SavedPrinter*& head) {
    while (head) {
        SavedPrinter* next = head->next;
        FreeGlobal(head->record);
        FreeGlobal(head->subKey);
        FreeGlobal(head);
        head = next;
    }
}
