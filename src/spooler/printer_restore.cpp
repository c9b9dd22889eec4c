#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "spooler/enumerations.h"
#include "spooler/printer_journal.h"
#include "spooler/printer_owed.h"
#include "spooler/printer_properties.h"
#include "spooler/printer_security.h"
#include "spooler/printers.h"
#include "spooler/winspool_api.h"

namespace {

enum class Restored {
    No,      // not there: it stays in the journal
    Partly,  // there, but what it owes could not be written: it stays in the journal
    Owing,   // there, and what it still owes is written: it may leave the journal
    Fully,
};

// The new printer, with its access list from the start: it never exists
// with the spooler's default one, which lets everyone print.
HANDLE AddRestoredPrinter(InstallRun& run, const wchar_t* name, const CarriedProperties& saved) {
    UniqueGlobal dacl;
    if (saved.security && !PartOfDescriptor(saved.security, DescriptorPart::Dacl, dacl) &&
        kernel.GetLastError() != ERROR_SUCCESS) {
        LogError(run, kErrorAddPrinter, ShownName(name, kUnnamedPrinter));
        return nullptr;
    }
    return AddProductPrinter(run, name, dacl.Get());
}

// A printer back with its SubKey and everything else it had may leave the
// journal; one that is back only in part owes the rest, which a later
// install gives it, and the run says so.
Restored RestorePrinter(InstallRun& run, const wchar_t* name, const CarriedProperties& saved) {
    UniquePrinter printer(AddRestoredPrinter(run, name, saved));
    if (!printer) {
        return Restored::No;
    }
    bool linked = WritePrinterSubKey(printer.Get(), saved.subKey);
    DWORD code = kernel.GetLastError();
    if (linked) {
        ClearMarkOfNewPrinter(printer.Get());
    }
    DWORD owed = 0;
    bool detailed = ApplyPrinterProperties(run, printer.Get(), name, saved, owed);
    if (linked && detailed) {
        return Restored::Fully;
    }
    kernel.SetLastError(linked ? kernel.GetLastError() : code);
    LogError(run, kErrorRestorePrinter, ShownName(name, kUnnamedPrinter));
    owed |= linked ? 0 : FieldBit(RecordField::SubKey);
    return OweProperties(run, printer.Get(), name, saved, owed) ? Restored::Owing
                                                                : Restored::Partly;
}

bool MayLeaveJournal(Restored outcome) {
    return outcome == Restored::Fully || outcome == Restored::Owing;
}

// What an uninstall's list holds, and what an earlier build's run left: the
// SubKey and the snapshot's comment, location and default mark.
void PropertiesOfEntry(const SavedPrinter& saved, CarriedProperties& properties) {
    properties = {};
    kernel.lstrcpynA(properties.subKey, saved.subKey, kSubKeyBytes);
    properties.comment = saved.printerEntry->pComment;
    properties.location = saved.printerEntry->pLocation;
    properties.present = 1u << static_cast<DWORD>(RecordField::SubKey);
    if ((saved.printerEntry->Attributes & PRINTER_ATTRIBUTE_DEFAULT) &&
        IsProductDriver(saved.printerEntry->pDriverName)) {
        properties.present |= 1u << static_cast<DWORD>(RecordField::Default);
    }
}

Restored RestoreSaved(InstallRun& run, SavedPrinter& saved) {
    CarriedProperties properties;
    if (!saved.record || !ReadRecord(saved.record, saved.recordBytes, properties)) {
        PropertiesOfEntry(saved, properties);
    }
    Restored outcome = RestorePrinter(run, saved.printerEntry->pPrinterName, properties);
    saved.restored = MayLeaveJournal(outcome);
    return outcome;
}

bool PrinterOpens(const wchar_t* name) {
    UniquePrinter printer;
    return OpenPrinterInto(name, nullptr, printer);
}

// An entry this run did not write, of a printer that is not there: an
// earlier run took it out and did not bring it back.
Restored RestoreFromJournal(InstallRun& run, const wchar_t* name, bool& back) {
    // This run's own entries name printers it is bringing back itself.
    if (SavedByThisRun(run, name)) {
        return Restored::No;
    }
    JournalEntry entry;
    JournalRead read = ReadJournalEntry(name, entry);
    if (read == JournalRead::Gone) {
        return Restored::No;
    }
    if (read != JournalRead::Entry) {
        ReportUnreadableEntry(run, name, read);
        return Restored::No;
    }
    // A printer that is there but did not open is refused by AddPrinterW as
    // a name that exists.
    if (PrinterOpens(name)) {
        return Restored::No;
    }
    LogLine(run, "Printer '%s' was left out by an earlier run: restoring it from the journal",
            name);
    // Its entry holds all it had; what the run that took it out found it
    // owed is in there too.
    ForgetOwedEntry(name);
    Restored outcome = RestorePrinter(run, name, entry.properties);
    back = MayLeaveJournal(outcome);
    return outcome;
}

// The entries' names are read before any is acted on: a value that goes
// would change the order of the rest. `back` gets a flag for each name that
// came back whole. Returns how many came back.
int RestoreLeftOverPrinters(InstallRun& run, JournalNames& names, UniqueGlobal& back) {
    if (!ReadJournalNames(names)) {
        LogError(run, kErrorReadJournalEntry, kUnnamedPrinter);
        return 0;
    }
    back.Reset(names.count ? AllocGlobal(names.count) : nullptr);
    int restored = 0;
    const auto* name = static_cast<const wchar_t*>(names.block.Get());
    for (DWORD i = 0; i < names.count; ++i, name += kernel.lstrlenW(name) + 1) {
        bool whole = false;
        restored += RestoreFromJournal(run, name, whole) != Restored::No;
        if (back) {
            static_cast<bool*>(back.Get())[i] = whole;
        }
    }
    return restored;
}

// The journal lets go of the printers that came back (whole, or owing the
// rest), once the spooler's own record of them is on disk: a power cut must
// not keep a deleted entry and lose its printer.
void ReleaseRestored(InstallRun& run, const JournalNames& names, const UniqueGlobal& back) {
    const auto* whole = static_cast<const bool*>(back.Get());
    bool any = false;
    SpoolerRecord record = {};
    for (const SavedPrinter* saved = run.savedPrinters; saved; saved = saved->next) {
        if (saved->restored) {
            any = true;
            FindSpoolerRecord(record, saved->printerEntry->pPrinterName);
        }
    }
    const auto* name = static_cast<const wchar_t*>(names.block.Get());
    for (DWORD i = 0; whole && i < names.count; ++i, name += kernel.lstrlenW(name) + 1) {
        if (whole[i]) {
            any = true;
            FindSpoolerRecord(record, name);
        }
    }
    if (!any) {
        return;
    }
    if (!FlushSpoolerRecord(record)) {
        LogError(run, kErrorFlushPrinters);
        return;
    }
    for (const SavedPrinter* saved = run.savedPrinters; saved; saved = saved->next) {
        if (saved->restored) {
            ForgetJournaledPrinter(saved->printerEntry->pPrinterName);
        }
    }
    name = static_cast<const wchar_t*>(names.block.Get());
    for (DWORD i = 0; whole && i < names.count; ++i, name += kernel.lstrlenW(name) + 1) {
        if (whole[i]) {
            ForgetJournaledPrinter(name);
        }
    }
}

}  // namespace

// An entry this build cannot read at all would fail every install: it is
// reported once and set aside for an administrator.
bool ReportUnreadableEntry(InstallRun& run, const wchar_t* name, JournalRead read) {
    LogError(run, kErrorReadJournalEntry, ShownName(name, kUnnamedPrinter));
    if (read != JournalRead::Damaged || !SetAsideJournalEntry(name)) {
        return false;
    }
    LogLine(run, "The journal entry of printer '%s' is set aside in HKEY_LOCAL_MACHINE\\%s",
            ShownName(name, kUnnamedPrinter), kSetAsideKey);
    return true;
}

void RestorePrinters(InstallRun& run) {
    int restored = 0;
    for (SavedPrinter* saved = run.savedPrinters; saved; saved = saved->next) {
        restored += RestoreSaved(run, *saved) != Restored::No;
    }
    JournalNames names = {};
    UniqueGlobal back;
    if (IsReinstall(run)) {
        restored += RestoreLeftOverPrinters(run, names, back);
    }
    if (restored == 0) {
        AddFallbackPrinter(run);
    }
    if (IsReinstall(run)) {
        ReleaseRestored(run, names, back);
        ForgetOwedOfGonePrinters();
        CloseJournal(false);
    }
}
