// The install and uninstall runs: one run record on the stack, one procedure,
// leftovers scheduled for deletion at restart, the log shown when needed.
#pragma once

#include <windows.h>

#include "app/entry.h"
#include "core/install_run.h"

inline constexpr int kLogDialogId = 101;
inline constexpr int kLogTextId = 1001;

// True when the run logged errors; `scheduled` gets the number of files that
// Windows will delete at the next restart, `exitCode` (when given) the run's.
bool RunInstall(HWND parent, DWORD* scheduled, int* exitCode = nullptr);
bool RunUninstall(HWND parent, DWORD* scheduled, int* exitCode = nullptr);

using RunProcedure = void (*)(InstallRun&);
// The run around one procedure; RunInstall and RunUninstall differ only in it
// and in the command the event log names. From the run lock on, the run has
// kRunDeadlineMinutes to end its work (app/run_deadline.h).
bool RunWithProcedure(RunProcedure procedure, Command command, HWND parent, DWORD* scheduled,
                      int* exitCode = nullptr);
// The exit code of a finished run: 103 when its checks refused it, 100 with
// errors, else 101 when files wait for the restart, else 1 for an install
// and 2 for an uninstall.
int RunExitCode(Command command, bool errorsLogged, DWORD scheduled, bool refused = false);
// "check": the checks of an install, reported as one event; 1 when an
// install could go ahead, 103 when it would be refused. Changes nothing.
int RunCheck();

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Hands every listed file to Windows for deletion at the next restart, clears
// the list and returns how many were accepted.
DWORD ScheduleLeftoverDeletes(InstallRun& run);
// Whether the log dialog may open: only for a user of an interactive session
// (not session 0, not a service account), on a window station somebody sees.
// When any of it cannot be told, it may not.
bool MayShowLogDialog();
// Whether the installer's own token is LocalSystem's (a package's deferred
// custom actions, a deployment tool); false when it cannot be told.
bool RunsAsLocalSystem();
