// Copies the product's files from the installer's folder into system folders
// before they are handed to the spooler, with its own lines in the run's log.
#pragma once

#include <windows.h>

#include "core/install_run.h"

// Copies `fileName` (a bare name) from the run's source folder into
// `targetDir` under the same name, byte by byte. `targetPath`, when given,
// holds kPathBufferChars characters and receives the full target path before
// anything is opened, cut to fit. With `report`, a source or destination that
// does not open is logged as an error; a short write always is. S_OK when the
// copy was made (also after a failed read or a short write), E_FAIL when the
// source or the destination did not open.
HRESULT CopyProductFile(InstallRun& run, const wchar_t* targetDir, const wchar_t* fileName,
                        wchar_t* targetPath, BYTE report);

// Creates or truncates `path` for writing, sharing it for reading only.
// Another process may still hold the file (a spooler that has just let go of
// a DLL, a virus scanner): up to 100 tries 50 ms apart, and no longer than
// 10 s by the clock. INVALID_HANDLE_VALUE after giving up, with the last
// error of the last try.
HANDLE OpenDestinationWithRetry(InstallRun& run, const wchar_t* path);
