#include "spooler/saved_printers.h"

#include "core/kernel_api.h"
#include "spooler/printer_properties.h"
#include "spooler/printer_record.h"
#include "spooler/winspool_api.h"

namespace {

// Reading the security descriptor needs READ_CONTROL; the printer data and
// the SubKey need no more than use.
constexpr DWORD kReadAccess = PRINTER_ACCESS_USE | READ_CONTROL;

// False when there is no memory for the record.
bool PushSavedPrinter(InstallRun& run, const char* subKey, PRINTER_INFO_2W& entry) {
    auto* saved = static_cast<SavedPrinter*>(AllocGlobal(sizeof(SavedPrinter)));
    if (!saved) {
        return false;
    }
    SIZE_T bytes = lstrlenA(subKey) + 1;
    saved->subKey = static_cast<char*>(AllocGlobal(bytes));
    if (!saved->subKey) {
        FreeGlobal(saved);
        return false;
    }
    CopyMemory(saved->subKey, subKey, bytes);
    saved->printerEntry = &entry;
    saved->next = run.savedPrinters;
    run.savedPrinters = saved;
    return true;
}

SaveOutcome ReadSubKeyOf(HANDLE printer, char (&subKey)[kSubKeyBytes]) {
    SubKeyRead read = ReadSubKey(printer, subKey);
    if (read == SubKeyRead::Failed) {
        return SaveOutcome::Unreadable;
    }
    return subKey[0] ? SaveOutcome::Saved : SaveOutcome::NoSubKey;
}

// The record a reinstall journals and restores from: the SubKey first, then
// everything else.
SaveOutcome RecordPrinter(InstallRun& run, HANDLE printer, const char* subKey,
                          const PRINTER_INFO_2W& entry, void*& block, DWORD& bytes) {
    wchar_t wideSubKey[kSubKeyBytes] = {};
    if (!MultiByteToWideChar(CP_ACP, 0, subKey, -1, wideSubKey, kSubKeyBytes)) {
        return SaveOutcome::Unreadable;
    }
    RecordWriter record;
    BeginRecord(record);
    PutText(record, RecordField::SubKey, wideSubKey);
    if (!ReadPrinterProperties(printer, entry, run.spoolerKeepsNoSecurity, record)) {
        DWORD code = GetLastError();
        AbandonRecord(record);
        SetLastError(code);
        return code == ERROR_NOT_ENOUGH_MEMORY ? SaveOutcome::NoMemory : SaveOutcome::Incomplete;
    }
    return EndRecord(record, block, bytes) ? SaveOutcome::Saved : SaveOutcome::NoMemory;
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
    return PushSavedPrinter(run, subKey, entry) ? SaveOutcome::Saved : SaveOutcome::NoMemory;
}

SaveOutcome SavePrinterForTransit(InstallRun& run, PRINTER_INFO_2W& entry) {
    PRINTER_DEFAULTSW access = {nullptr, nullptr, kReadAccess};
    UniquePrinter printer;
    if (!OpenPrinterInto(entry.pPrinterName, &access, printer)) {
        return SaveOutcome::NotOpened;
    }
    char subKey[kSubKeyBytes];
    SaveOutcome outcome = ReadSubKeyOf(printer.Get(), subKey);
    if (outcome != SaveOutcome::Saved) {
        return outcome;
    }
    void* record = nullptr;
    DWORD bytes = 0;
    outcome = RecordPrinter(run, printer.Get(), subKey, entry, record, bytes);
    if (outcome != SaveOutcome::Saved) {
        return outcome;
    }
    if (!PushSavedPrinter(run, subKey, entry)) {
        FreeGlobal(record);
        return SaveOutcome::NoMemory;
    }
    run.savedPrinters->record = record;
    run.savedPrinters->recordBytes = bytes;
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
        if (CompareStringOrdinal(saved->printerEntry->pPrinterName, -1, name, -1, TRUE) ==
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
