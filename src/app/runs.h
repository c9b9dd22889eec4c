// The install and uninstall runs: one run record on the stack, one procedure,
// leftovers scheduled for deletion at restart, the log shown when needed.
#pragma once

#include <windows.h>

#include "core/install_run.h"

inline constexpr int kLogDialogId = 101;
inline constexpr int kLogTextId = 1001;

// True when the run logged errors; `scheduled` gets the number of files that
// Windows will delete at the next restart.
bool RunInstall(HWND parent, DWORD* scheduled);
bool RunUninstall(HWND parent, DWORD* scheduled);

using RunProcedure = void (*)(InstallRun&);
// The run around one procedure; RunInstall and RunUninstall differ only in it.
bool RunWithProcedure(RunProcedure procedure, HWND parent, DWORD* scheduled);

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Hands every listed file to Windows for deletion at the next restart, clears
// the list and returns how many were accepted.
DWORD ScheduleLeftoverDeletes(InstallRun& run);
// Whether a dialog on this process's window station can be seen by anybody.
bool HasInteractiveDesktop();
