// A product printer's settings reference: the printer data "SubKey" (plain and
// under "DsUser") naming its settings key below the product key in
// HKEY_CURRENT_USER, and that key's "deleted" mark, which the driver sets when
// the printer goes and a re-created printer clears.
#pragma once

#include <windows.h>

// The printer data "SubKey" is read through a buffer of this size: at most 63
// characters and the terminator.
inline constexpr DWORD kSubKeyBytes = 64;

enum class SubKeyRead { Found, Absent, Failed };

// The plain value first, then the one under "DsUser", into `subKey` (at least
// kSubKeyBytes, left empty without a usable value). Failed, with the error of
// that read, when neither gave a SubKey and one of them could not be read.
SubKeyRead ReadSubKey(HANDLE printer, char* subKey);
// `subKey` holds at least kSubKeyBytes; it is left empty when there is no usable value.
void ReadPrinterSubKey(HANDLE printer, char* subKey);
// True when the write under "DsUser" succeeded; otherwise the last error is
// that write's.
bool WritePrinterSubKey(HANDLE printer, const char* subKey);
// `relativeKey` is "Zantorelles\" and the SubKey. True when "deleted" was removed.
bool ClearSettingsDeletedMark(const char* relativeKey);
// Clears the mark of the settings key the new printer's own SubKey names,
// which is what ties it to that key from now on.
void ClearMarkOfNewPrinter(HANDLE printer);
