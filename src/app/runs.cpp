#include "app/runs.h"

#include "app/entry.h"
#include "app/event_log.h"
#include "app/procedures.h"
#include "app/run_lock.h"
#include "app/run_setup.h"
#include "app/user_api.h"
#include "core/deferred_delete.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"

namespace {

bool ShiftIsDown() {
    return (user.GetAsyncKeyState(VK_SHIFT) & 0x8000) != 0;
}

void InitLogDialog(HWND dialog, const InstallRun& run) {
    SetDlgItemTextW(dialog, kLogTextId, CountedText(run.logText));
    wchar_t caption[kPathBufferChars];
    wsprintfW(caption, L"Zantorelle build %d- Install", kBuildNumber);
    lstrcatW(caption, run.errorCount != 0 ? L" error log!" : L" log.");
    SetWindowTextW(dialog, caption);
}

// Another run held the lock for longer than any run takes: this one changes
// nothing and says why.
void StopBlockedRun(InstallRun& run) {
    ResetInstallRun(run);
    SetLastError(WAIT_TIMEOUT);
    LogError(run, 20, L"Another install or uninstall is still running after %d minutes",
             static_cast<int>(kRunLockWaitMinutes));
}

}  // namespace

bool RunWithProcedure(RunProcedure procedure, Command command, HWND parent, DWORD* scheduled) {
    ScopedRunLock lock;
    InstallRun run;
    if (lock.TimedOut()) {
        StopBlockedRun(run);
    } else {
        InitInstallRun(run);
        procedure(run);
    }
    *scheduled = ScheduleLeftoverDeletes(run);
    // Before the dialog: an unattended run has nobody to close it.
    ReportRun(run, command, RunExitCode(command, run.errorCount != 0, *scheduled));
    // The dialog waits for a user as long as the user likes; the next run need not.
    lock.Release();
    // A modal dialog nobody can see would hold an unattended deployment (a
    // service or a non-interactive session) forever: there the log stays unshown.
    if ((run.errorCount != 0 || ShiftIsDown()) && HasInteractiveDesktop()) {
        user.DialogBoxParamW(moduleInstance, MAKEINTRESOURCEW(kLogDialogId), parent, &LogDialogProc,
                             reinterpret_cast<LPARAM>(&run));
    }
    bool errors = run.errorCount != 0;
    FreeInstallRun(run);
    return errors;
}

int RunExitCode(Command command, bool errorsLogged, DWORD scheduled) {
    if (errorsLogged) {
        return kExitErrorsLogged;
    }
    if (scheduled != 0) {
        return kExitRebootScheduled;
    }
    return command == Command::Uninstall ? kExitUninstalled : kExitInstalled;
}

DWORD ScheduleLeftoverDeletes(InstallRun& run) {
    DWORD count = 0;
    for (DeferredDelete* node = run.deferredDeletes; node; node = node->next) {
        if (kernel.MoveFileExW(node->path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            ++count;
        }
    }
    ClearDeferredDeletes(run.deferredDeletes);
    return count;
}

bool HasInteractiveDesktop() {
    USEROBJECTFLAGS flags = {};
    HWINSTA station = user.GetProcessWindowStation();
    if (!station ||
        !user.GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), nullptr)) {
        // Unknown: show the log as before rather than hide an error from a user.
        return true;
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        InitLogDialog(dialog, *reinterpret_cast<const InstallRun*>(lParam));
    } else if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
        EndDialog(dialog, 1);
    } else if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, 0);
    }
    // FALSE on WM_INITDIALOG as well: the dialog manager leaves the focus alone.
    return FALSE;
}

bool RunInstall(HWND parent, DWORD* scheduled) {
    return RunWithProcedure(&ReInstall, Command::Install, parent, scheduled);
}

bool RunUninstall(HWND parent, DWORD* scheduled) {
    return RunWithProcedure(&UninstallAndCleanUp, Command::Uninstall, parent, scheduled);
}
