// The product printers a run deleted and brings back: each with its settings
// reference and, in a reinstall, the record of everything else it had.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "core/install_run.h"
#include "spooler/printer_settings.h"

// A deleted product printer that a reinstall brings back. The record and its
// blocks are zero-filled blocks of the fixed global heap, owned by the run's
// list.
struct SavedPrinter {
    char* subKey;
    // Into the run's enumerated printers, which outlive the list; not owned.
    PRINTER_INFO_2W* printerEntry;
    SavedPrinter* next;
    // A reinstall's: the printer's record (spooler/printer_record.h), and
    // whether it came back whole, so that its journal entry may go.
    void* record;
    DWORD recordBytes;
    bool restored;
};

// What became of a printer's settings before its deletion.
enum class SaveOutcome {
    Saved,       // a record is at the head of the run's list
    NoSubKey,    // the printer has none to carry over
    NotOpened,   // the printer did not open for reading (the last error says why)
    Unreadable,  // a place of the SubKey could not be read (the last error says why)
    NoMemory,    // it has one, and there was no memory to remember it
    Incomplete,  // the rest of what it had could not be read (the last error says why)
};

// The settings reference alone, as an uninstall saves it.
SaveOutcome SavePrinterSubKey(InstallRun& run, PRINTER_INFO_2W& entry);
// The settings reference and everything else the printer had, as a
// reinstall reads it before the printer goes: `record` is then the caller's.
// One that owes its SubKey is read without it (`subKey` empty).
SaveOutcome ReadForTransit(InstallRun& run, PRINTER_INFO_2W& entry, char (&subKey)[kSubKeyBytes],
                           void*& record, DWORD& bytes);
// Journals the printer and, exactly when its entry is written, puts it on
// the run's list, which takes the record (Saved). Otherwise neither holds
// it: NoMemory, or Incomplete with the error of the write.
SaveOutcome JournalForTransit(InstallRun& run, PRINTER_INFO_2W& entry, const char* subKey,
                              void* record, DWORD bytes);
// Takes the record of the printer at `entry` off the list and frees it.
void DropSavedPrinter(InstallRun& run, const PRINTER_INFO_2W& entry);
bool SavedByThisRun(const InstallRun& run, const wchar_t* name);
void FreeSavedPrinters(SavedPrinter*& head);
