// What printers that came back in part still owe. A finished run whose
// printer did not take a property for a reason that passes (the Server
// service not started yet, a share or a driver's files not there yet) keeps
// the property under kOwedKey, with the value the printer was left with. A
// later install gives it to the printer as long as the printer still has
// that value: a change someone made in between wins, and a printer is never
// deleted for what it owes. After kMaxOwedTries installs it is let go.
//
// HKEY_LOCAL_MACHINE\SOFTWARE\Dravish Software KFT\Zantorelle\Printers owed
//   <printer name> REG_BINARY  a record (spooler/printer_record.h) of the
//                              owed properties, the Owed mask, Tries and
//                              LeftAs (the printer's own values of them)
#pragma once

#include <windows.h>

#include "core/install_run.h"
#include "core/kernel_api.h"
#include "spooler/printer_record.h"
#include "spooler/printer_settings.h"

inline constexpr DWORD kMaxOwedTries = 5;

// The printer as it is now (SubKey, what `entry` says of it, its security
// descriptor and printer data), as a record; false, with the error, when it
// could not be read whole.
bool RecordPrinterAsItIs(InstallRun& run, HANDLE printer, const char* subKey,
                         const PRINTER_INFO_2W& entry, void*& block, DWORD& bytes);

// After a restore that left `owed` (FieldBit) properties of `saved` out:
// writes what the printer owes, or lets it go after kMaxOwedTries. False,
// with the error, when that could not be written.
bool OweProperties(InstallRun& run, HANDLE printer, const wchar_t* name,
                   const CarriedProperties& saved, DWORD owed);

// Before a reinstall takes the printer out: what it still owes goes into its
// fresh record (`block`, replaced), where the printer has not been changed
// since; its entry may go once the printer is out. False, with the error,
// when the printer has an entry that could not be read or merged: then it
// must stay, or what it owes would be lost.
bool MergeOwed(InstallRun& run, const wchar_t* name, void*& block, DWORD& bytes);

// Before a reinstall takes printers out: a printer owed the default mark
// gets it in `run.printers` where the default printer is still the one the
// spooler chose when the earlier install deleted it, which loses the mark.
void ClaimOwedDefault(InstallRun& run);

// Whether the printer owes its SubKey, whose write did not take. False,
// with the error, when what it owes cannot be read.
bool OwesSubKey(const wchar_t* name, bool& owes);
// The SubKey a record holds, into `subKey` (left empty without one).
void SubKeyOfRecord(const void* block, DWORD bytes, char (&subKey)[kSubKeyBytes]);

// Lets go of what printers that are not there any more owed.
void ForgetOwedOfGonePrinters();
