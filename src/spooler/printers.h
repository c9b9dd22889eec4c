// The product's printers: removed with their settings reference saved, and
// re-created on reinstall under their old names with their comment, location,
// settings reference and default-printer status.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "core/install_run.h"

// The printer data "SubKey" is read through a buffer of this size: at most 63
// characters and the terminator.
inline constexpr DWORD kSubKeyBytes = 64;

// A deleted product printer that a reinstall brings back. The record and its
// text are zero-filled blocks of the fixed global heap, owned by the run's list.
struct SavedPrinter {
    char* subKey;
    // Into the run's enumerated printers, which outlive the list; not owned.
    PRINTER_INFO_2W* printerEntry;
    SavedPrinter* next;
};

// What became of a printer's settings reference before its deletion.
enum class SaveOutcome {
    Saved,       // a record is at the head of the run's list
    NoSubKey,    // the printer has none to carry over
    NotOpened,   // the printer did not open for reading (the last error says why)
    Unreadable,  // a place of the SubKey could not be read (the last error says why)
    NoMemory,    // it has one, and there was no memory to remember it
};

// Saves and deletes every printer of the run's snapshot that uses the
// product's driver. A reinstall journals each one before it deletes it, and
// keeps, with an error, one it could not bring back as it was.
void RemoveProductPrinters(InstallRun& run);
// True when the printer was deleted.
bool RemovePrinter(InstallRun& run, const wchar_t* name);
SaveOutcome SavePrinterSubKey(InstallRun& run, PRINTER_INFO_2W& entry);
// The new printer's handle, or null; the caller closes it.
HANDLE AddProductPrinter(InstallRun& run, const wchar_t* name);
// Re-creates the saved printers and, in a reinstall, the printers an earlier
// run left in the journal; the fallback printer when none came back.
void RestorePrinters(InstallRun& run);

// True when the write under "DsUser" succeeded; otherwise the last error is
// that write's.
bool WritePrinterSubKey(HANDLE printer, const char* subKey);
// `subKey` holds at least kSubKeyBytes; it is left empty when there is no usable value.
void ReadPrinterSubKey(HANDLE printer, char* subKey);
// `relativeKey` is "Zantorelles\" and the SubKey. True when "deleted" was removed.
bool ClearSettingsDeletedMark(const char* relativeKey);

void FreeSavedPrinters(SavedPrinter*& head);
