// Printers in transit. While a reinstall has product printers out of the
// spooler, everything re-creating them needs is kept in the registry, one
// value per printer, written for all of them and flushed to disk once before
// the first is deleted: an install after a run that was cut off (killed,
// crashed, the power gone) still brings them back. Each value goes once its
// printer is back as it was and the spooler's own record of it is on disk;
// the key goes with its last value. Nothing else of the installer outlives a
// run.
//
// HKEY_LOCAL_MACHINE\SOFTWARE\Dravish Software KFT\Zantorelle\Printers in transit
//   <printer name> REG_BINARY  the printer's record (spooler/printer_record.h)
// Entries of earlier builds are REG_MULTI_SZ and are still read:
//   <printer name> REG_MULTI_SZ  "SubKey=<SubKey>" "Comment=<comment>"
//                                "Location=<location>" "Default=1"
// An entry this build cannot read at all is moved, as it is, to the key
// "Printers set aside" beside it, for an administrator.
#pragma once

#include <windows.h>

#include "core/kernel_api.h"
#include "spooler/printer_record.h"
#include "core/handles.h"

// Printer names are shorter than MAX_PATH: longer ones are not journaled.
inline constexpr DWORD kJournalNameChars = MAX_PATH + 1;

enum class JournalLookup { Absent, Present, Unknown };

// Whether an earlier run left `name` in the journal; Unknown when the
// journal cannot be read (the last error says why).
JournalLookup LookUpJournal(const wchar_t* name);
// Writes the printer's entry. It is not on disk before FlushJournal. False,
// with the error of the failed call.
bool JournalPrinter(const wchar_t* name, const void* record, DWORD bytes);
// One flush for every entry written so far. False, with the error, when they
// may not have reached the disk.
bool FlushJournal();
void ForgetJournaledPrinter(const wchar_t* name);
// Where the spooler keeps the printers a run brought back. Microsoft
// documents no path: Windows 8 and later keep them under SOFTWARE, earlier
// versions and Wine under SYSTEM. So the key that holds each printer is
// found at run time, and each hive that holds one is flushed once.
struct SpoolerRecord {
    bool holds[2];
    // Set when a printer was found under neither: nothing says where it is kept.
    bool unknown;
};
void FindSpoolerRecord(SpoolerRecord& record, const wchar_t* name);
// Puts the spooler's record of those printers on disk, before the journal
// lets go of them. False, with the error, when that cannot be done.
bool FlushSpoolerRecord(const SpoolerRecord& record);

// The names of the entries, each with its terminator, and one more; read
// before any entry is acted on, since the registry keeps no order of values
// once one goes.
struct JournalNames {
    UniqueGlobal block;
    DWORD count;
};
// False, with the error, when the journal is there and cannot be listed.
bool ReadJournalNames(JournalNames& names);

enum class JournalRead {
    Entry,    // `entry.properties` holds it
    Gone,     // no such entry any more
    Failed,   // the registry did not give it (the last error says why); it stays
    Damaged,  // it is there and this build cannot read it at all
};
struct JournalEntry {
    UniqueGlobal data;
    CarriedProperties properties;
};
JournalRead ReadJournalEntry(const wchar_t* name, JournalEntry& entry);
// An entry of what a printer still owes (kOwedKey): a record, or Damaged.
JournalRead ReadOwedEntry(const wchar_t* name, JournalEntry& entry);
// Writes it. False, with the error of the failed call.
bool WriteOwedEntry(const wchar_t* name, const void* record, DWORD bytes);
void ForgetOwedEntry(const wchar_t* name);
// The names of the entries in kOwedKey, as ReadJournalNames gives them.
bool ReadOwedNames(JournalNames& names);
// Moves the entry, type and data as they are, to kSetAsideKey under its own
// name (a number is added when that name is taken). False, with the error,
// when it stays in the journal.
bool SetAsideJournalEntry(const wchar_t* name);
// Deletes the journal key when no printer is in transit any more, or with
// every entry when `dropEntries` (an uninstall takes the printers away for
// good); the same for what printers still owe.
void CloseJournal(bool dropEntries);
