#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "spooler/enumerations.h"
#include "spooler/printer_journal.h"
#include "spooler/printer_owed.h"
#include "spooler/printers.h"
#include "spooler/winspool_api.h"

namespace {

constexpr DWORD kDeleteAccess = DELETE | PRINTER_ACCESS_ADMINISTER;

// A printer that could not be brought back as it was would be lost after its
// deletion: it stays, and the run says why, with the system's text for `code`.
void KeepPrinter(InstallRun& run, const wchar_t* name, ErrorNumber reason, DWORD code) {
    const wchar_t* shown = ShownName(name, kUnnamedPrinter);
    LogLine(run, ">DeletePrinter(%s)", shown);
    ++run.logDepth;
    kernel.SetLastError(code);
    LogError(run, reason, shown);
    --run.logDepth;
}

// What a reinstall does with each product printer of its snapshot.
enum class Transit : BYTE {
    Stay,           // not one of the product's, or kept with an error
    Delete,         // without a SubKey: nothing to bring back
    DeleteSaved,    // saved and journaled by this run
    DeleteEarlier,  // an earlier run left it in the journal, which holds it as it was
};

// An earlier run's entry of a printer that is there brings it back only
// when it reads: true, with `transit` set, when it decides the printer's
// way. A damaged entry is set aside and the printer journaled afresh as it
// is now (false); one the registry did not give keeps the printer.
bool PlanEarlier(InstallRun& run, const wchar_t* name, Transit& transit) {
    JournalEntry held;
    JournalRead read = ReadJournalEntry(name, held);
    transit = Transit::Stay;
    switch (read) {
        case JournalRead::Entry:
            transit = Transit::DeleteEarlier;
            return true;
        case JournalRead::Gone:
            return false;
        case JournalRead::Failed:
            KeepPrinter(run, name, kErrorJournalPrinter, kernel.GetLastError());
            return true;
        case JournalRead::Damaged:
            break;
    }
    if (ReportUnreadableEntry(run, name, read)) {
        return false;
    }
    KeepPrinter(run, name, kErrorJournalPrinter, kernel.GetLastError());
    return true;
}

// What a printer's save outcome means for it, with the error line of one it keeps.
Transit TransitAfter(InstallRun& run, const wchar_t* name, SaveOutcome saved, DWORD code) {
    switch (saved) {
        case SaveOutcome::Saved:
            return Transit::DeleteSaved;
        case SaveOutcome::NoSubKey:
            return Transit::Delete;
        case SaveOutcome::NotOpened:
            KeepPrinter(run, name, kErrorOpenPrinter, code);
            return Transit::Stay;
        case SaveOutcome::Unreadable:
            KeepPrinter(run, name, kErrorDeletePrinter, code);
            return Transit::Stay;
        case SaveOutcome::NoMemory:
            KeepPrinter(run, name, kErrorDeletePrinter, ERROR_NOT_ENOUGH_MEMORY);
            return Transit::Stay;
        case SaveOutcome::Incomplete:
            break;
    }
    KeepPrinter(run, name, kErrorJournalPrinter, code);
    return Transit::Stay;
}

// A record that cannot go into the journal as it is: a printer whose owed
// entry did not read would lose what it owes, and one that owed its SubKey
// and still has none could not be tied to its settings again. It stays.
SaveOutcome Unjournaled(void* record, DWORD code) {
    FreeGlobal(record);
    kernel.SetLastError(code);
    return SaveOutcome::Incomplete;
}

// Journals what the printer had, unless it cannot be brought back as it was.
// One an earlier run left in the journal is the printer that run was
// bringing back when it was cut off: the journal holds it as it was, and it
// comes back from there. `written` is set when the journal has entries to flush.
Transit PlanTakeOut(InstallRun& run, PRINTER_INFO_2W& entry, bool& written) {
    const wchar_t* name = entry.pPrinterName;
    JournalLookup earlier = LookUpJournal(name);
    if (earlier == JournalLookup::Unknown) {
        KeepPrinter(run, name, kErrorJournalPrinter, kernel.GetLastError());
        return Transit::Stay;
    }
    Transit planned;
    if (earlier == JournalLookup::Present && PlanEarlier(run, name, planned)) {
        written = written || planned == Transit::DeleteEarlier;
        return planned;
    }
    if (run.defaultPrinterError) {
        KeepPrinter(run, name, kErrorDeletePrinter, run.defaultPrinterError);
        return Transit::Stay;
    }
    char subKey[kSubKeyBytes];
    void* record = nullptr;
    DWORD bytes = 0;
    SaveOutcome saved = ReadForTransit(run, entry, subKey, record, bytes);
    // What an earlier install owed it goes with it, where no one changed it since.
    if (saved == SaveOutcome::Saved && !MergeOwed(run, name, record, bytes)) {
        saved = Unjournaled(record, kernel.GetLastError());
    }
    if (saved == SaveOutcome::Saved) {
        SubKeyOfRecord(record, bytes, subKey);
        saved = subKey[0] ? JournalForTransit(run, entry, subKey, record, bytes)
                          : Unjournaled(record, ERROR_INVALID_DATA);
    }
    written = written || saved == SaveOutcome::Saved;
    return TransitAfter(run, name, saved, kernel.GetLastError());
}

// Without a journal on disk no printer may go that it would bring back.
void KeepUnflushed(InstallRun& run, Transit* transit, DWORD code) {
    for (UINT32 i = 0; i < run.printerCount; ++i) {
        PRINTER_INFO_2W& entry = run.printers[i];
        if (transit[i] == Transit::DeleteSaved) {
            ForgetJournaledPrinter(entry.pPrinterName);
            DropSavedPrinter(run, entry);
        }
        if (transit[i] == Transit::DeleteSaved || transit[i] == Transit::DeleteEarlier) {
            KeepPrinter(run, entry.pPrinterName, kErrorJournalPrinter, code);
            transit[i] = Transit::Stay;
        }
    }
}

void DeleteInTransit(InstallRun& run, const PRINTER_INFO_2W& entry, Transit transit) {
    bool deleted = RemovePrinter(run, entry.pPrinterName);
    // Out of the spooler: what it owed is in its journal entry now (an
    // earlier run's entry holds all of it as it was). Still in it: nothing
    // is in transit, and it still owes what it owed.
    if (deleted && transit != Transit::Delete) {
        ForgetOwedEntry(entry.pPrinterName);
    } else if (!deleted && transit == Transit::DeleteSaved) {
        ForgetJournaledPrinter(entry.pPrinterName);
    }
}

// Journal every printer first, flush once, then delete: RegFlushKey writes
// the whole hive and holds every writer of it meanwhile.
void TakeOutProductPrinters(InstallRun& run) {
    if (run.printerCount == 0) {
        return;
    }
    UniqueGlobal plan(AllocGlobal(run.printerCount * sizeof(Transit)));
    auto* transit = static_cast<Transit*>(plan.Get());
    bool written = false;
    for (UINT32 i = 0; i < run.printerCount; ++i) {
        PRINTER_INFO_2W& entry = run.printers[i];
        if (IsProductDriver(entry.pDriverName)) {
            if (!transit) {
                KeepPrinter(run, entry.pPrinterName, kErrorDeletePrinter, ERROR_NOT_ENOUGH_MEMORY);
                continue;
            }
            transit[i] = PlanTakeOut(run, entry, written);
        }
    }
    if (!transit) {
        return;
    }
    if (written && !FlushJournal()) {
        KeepUnflushed(run, transit, kernel.GetLastError());
    }
    for (UINT32 i = 0; i < run.printerCount; ++i) {
        if (transit[i] != Transit::Stay) {
            DeleteInTransit(run, run.printers[i], transit[i]);
        }
    }
}

// An uninstall saves the SubKeys as a reinstall would, and deletes every
// product printer whatever became of its settings.
void DeleteProductPrinters(InstallRun& run) {
    for (UINT32 i = 0; i < run.printerCount; ++i) {
        PRINTER_INFO_2W& entry = run.printers[i];
        if (IsProductDriver(entry.pDriverName)) {
            SavePrinterSubKey(run, entry);
            RemovePrinter(run, entry.pPrinterName);
        }
    }
}

}  // namespace

void RemoveProductPrinters(InstallRun& run) {
    LogLine(run, ">DeleteAllPrinters");
    ++run.logDepth;
    if (IsReinstall(run)) {
        ClaimOwedDefault(run);
        TakeOutProductPrinters(run);
    } else {
        DeleteProductPrinters(run);
    }
    --run.logDepth;
}

bool RemovePrinter(InstallRun& run, const wchar_t* name) {
    LogLine(run, ">DeletePrinter(%s)", ShownName(name, kUnnamedPrinter));
    ++run.logDepth;
    PRINTER_DEFAULTSW access = {nullptr, nullptr, kDeleteAccess};
    UniquePrinter printer;
    bool opened = OpenPrinterInto(name, &access, printer);
    bool deleted = opened && PurgeAndDeletePrinter(printer.Get());
    if (!opened) {
        LogError(run, kErrorOpenPrinter, ShownName(name, kUnnamedPrinter));
    } else if (deleted) {
        LogLine(run, "OK");
    } else {
        LogError(run, kErrorDeletePrinter, ShownName(name, kUnnamedPrinter));
    }
    --run.logDepth;
    return deleted;
}
