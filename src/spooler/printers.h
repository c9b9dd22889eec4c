// The product's printers: deleted with their settings saved, and re-created
// by a reinstall under their old names with everything they had.
//   printer_removal.cpp   RemoveProductPrinters, RemovePrinter; a reinstall's
//                         printers go into the journal first
//   printer_creation.cpp  AddProductPrinter, the fallback printer
//   printer_restore.cpp   RestorePrinters, from this run and from the journal
//   saved_printers.h      the list of printers a run brings back
//   printer_settings.h    the settings reference ("SubKey") and its mark
//   printer_properties.h  everything else a printer had
//   printer_security.h    its security descriptor, taken apart
//   printer_owed.h        what printers that came back in part still owe
//   printer_journal.h     the printers in transit
#pragma once

#include <windows.h>
#include <winspool.h>

#include "core/install_run.h"
#include "spooler/printer_journal.h"
#include "spooler/saved_printers.h"

// A reinstall is the one run that puts back what it takes out: ReInstall sets
// checkMonitorVersion, and nothing else does.
inline bool IsReinstall(const InstallRun& run) {
    return run.checkMonitorVersion != 0;
}

// Saves and deletes every printer of the run's snapshot that uses the
// product's driver. A reinstall journals all of them first, flushes the
// journal once and then deletes them, and keeps, with an error, one it could
// not bring back as it was.
void RemoveProductPrinters(InstallRun& run);
// True when the printer was deleted.
bool RemovePrinter(InstallRun& run, const wchar_t* name);
// The new printer's handle, or null; the caller closes it. `security`, when
// given, is the printer's access list from the start.
HANDLE AddProductPrinter(InstallRun& run, const wchar_t* name,
                         PSECURITY_DESCRIPTOR security = nullptr);
// Adds "Zantorelle", the printer a reinstall leaves when it brought none back.
void AddFallbackPrinter(InstallRun& run);
// Re-creates the saved printers and, in a reinstall, the printers an earlier
// run left in the journal; the fallback printer when none came back.
void RestorePrinters(InstallRun& run);
// Error 21 for the journal entry of `name`; a damaged one is set aside, and
// then the line says where. True when it is set aside.
bool ReportUnreadableEntry(InstallRun& run, const wchar_t* name, JournalRead read);
