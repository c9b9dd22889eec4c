// Printers in transit. While a reinstall has a product printer out of the
// spooler, what re-creating it needs is kept in the registry, one value per
// printer, flushed before the printer is deleted: an install after a run that
// was cut off (killed, crashed, the power gone) still brings it back. Each
// value goes once its printer is back as it was; the key goes with its last
// value. Nothing else of the installer outlives a run.
//
// HKEY_LOCAL_MACHINE\SOFTWARE\Dravish Software KFT\Zantorelle\Printers in transit
//   <printer name> REG_MULTI_SZ  "SubKey=<SubKey>" "Comment=<comment>"
//                                "Location=<location>" "Default=1"
// A comment or location the printer did not have is left out, and so is
// "Default=1" for a printer that was not the default printer.
#pragma once

#include <windows.h>

#include "core/kernel_api.h"
#include "spooler/printers.h"

// Printer names are shorter than MAX_PATH: longer ones are not journaled.
inline constexpr DWORD kJournalNameChars = MAX_PATH + 1;

// One printer read back from the journal. The texts point into `data`; a
// comment or location the printer did not have is null.
struct JournalEntry {
    wchar_t name[kJournalNameChars];
    UniqueGlobal data;
    char subKey[kSubKeyBytes];
    const wchar_t* comment;
    const wchar_t* location;
    bool wasDefault;
};

enum class JournalLookup { Absent, Present, Unknown };

// Whether an earlier run left `name` in the journal; Unknown when the
// journal cannot be read (the last error says why).
JournalLookup LookUpJournal(const wchar_t* name);
// Writes the saved printer's entry and flushes it to disk. False, with the
// last error of the failed call, when the entry may not have reached the disk.
bool JournalPrinter(const SavedPrinter& saved);
void ForgetJournaledPrinter(const wchar_t* name);
enum class JournalRead { End, Entry, Unreadable };

// The entry at `index` in the registry's order. End past the last one (or
// without a journal); Unreadable, with the last error, when the journal or
// the entry cannot be read or the entry names no SubKey (`name` is empty
// when even the entry's name is unknown).
JournalRead ReadJournalEntry(DWORD index, JournalEntry& entry);
// Deletes the journal key when no printer is in transit any more, or with
// every entry when `dropEntries` (an uninstall takes the printers away for good).
void CloseJournal(bool dropEntries);
