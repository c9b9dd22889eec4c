// The install and uninstall runs: one run record on the stack, one procedure,
// leftovers scheduled for deletion at restart, the log shown when needed.
#pragma once

#include <windows.h>

#include "app/entry.h"
#include "core/install_run.h"

inline constexpr int kLogDialogId = 101;
inline constexpr int kLogTextId = 1001;

// True when the run logged errors; `scheduled` gets the number of files that
// Windows will delete at the next restart.
bool RunInstall(HWND parent, DWORD* scheduled);
bool RunUninstall(HWND parent, DWORD* scheduled);

using RunProcedure = void (*)(InstallRun&);
// The run around one procedure; RunInstall and RunUninstall differ only in it
// and in the command the event log names.
bool RunWithProcedure(RunProcedure procedure, Command command, HWND parent, DWORD* scheduled);
// The exit code of a finished run: 100 with errors, else 101 when files wait
// for the restart, else 1 for an install and 2 for an uninstall.
int RunExitCode(Command command, bool errorsLogged, DWORD scheduled);

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Hands every listed file to Windows for deletion at the next restart, clears
// the list and returns how many were accepted.
DWORD ScheduleLeftoverDeletes(InstallRun& run);
// Whether a dialog on this process's window station can be seen by anybody.
bool HasInteractiveDesktop();
