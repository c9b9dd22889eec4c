#include "app/runs.h"

#include "app/entry.h"
#include "app/event_log.h"
#include "app/install_checks.h"
#include "app/procedures.h"
#include "app/run_deadline.h"
#include "app/run_lock.h"
#include "app/run_setup.h"
#include "core/user_api.h"
#include "core/deferred_delete.h"
#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "core/advapi_api.h"

namespace {

bool ShiftIsDown() {
    return (user.GetAsyncKeyState(VK_SHIFT) & 0x8000) != 0;
}

void InitLogDialog(HWND dialog, const InstallRun& run) {
    user.SetDlgItemTextW(dialog, kLogTextId, CountedText(run.logText));
    wchar_t caption[kPathBufferChars];
    user.wsprintfW(caption, L"Zantorelle build %d- Install%hs", kBuildNumber,
                   run.errorCount != 0 ? " error log!" : " log.");
    user.SetWindowTextW(dialog, caption);
}

// Another run held the lock for longer than any run takes: this one changes
// nothing and says why.
void StopBlockedRun(InstallRun& run) {
    ResetInstallRun(run);
    kernel.SetLastError(WAIT_TIMEOUT);
    LogError(run, kErrorOtherRunGoesOn, static_cast<int>(kRunLockWaitMinutes));
}

// A lock that cannot be had for any other reason than another run: the run
// goes on without it, and says so.
void ReportLockUnavailable(InstallRun& run, const ScopedRunLock& lock) {
    if (lock.Unavailable()) {
        kernel.SetLastError(lock.Unavailable());
        LogError(run, kErrorNoRunLock);
    }
}

// A window of a SYSTEM or service process on a user's desktop is the classic
// way up for that user (a repair of a per-machine package started by a
// standard user runs the installer as SYSTEM): never one of those.
bool RunsAsAUser() {
    TokenSid buffer;
    PSID account = OwnTokenSid(TokenUser, buffer);
    if (!account || advapi.IsWellKnownSid(account, WinLocalSystemSid) ||
        advapi.IsWellKnownSid(account, WinLocalServiceSid) ||
        advapi.IsWellKnownSid(account, WinNetworkServiceSid)) {
        return false;
    }
    // Every service's token holds the SERVICE group, whatever its account.
    BYTE service[SECURITY_MAX_SID_SIZE];
    DWORD serviceBytes = sizeof(service);
    BOOL member = TRUE;
    return advapi.CreateWellKnownSid(WinServiceSid, nullptr, service, &serviceBytes) &&
           advapi.CheckTokenMembership(nullptr, service, &member) && !member;
}

}  // namespace

bool RunWithProcedure(RunProcedure procedure, Command command, HWND parent, DWORD* scheduled,
                      int* exitCode) {
    ScopedRunLock lock;
    InstallRun run = {};
    int code = 0;
    {
        RunDeadline deadline(run, command);
        if (lock.TimedOut()) {
            StopBlockedRun(run);
        } else {
            InitInstallRun(run);
            ReportLockUnavailable(run, lock);
            procedure(run);
        }
        *scheduled = ScheduleLeftoverDeletes(run);
        code = RunExitCode(command, run.errorCount != 0, *scheduled, run.refused != 0);
        // Before the dialog: an unattended run has nobody to close it.
        EnterRunStep("reporting the run to the event log");
        deadline.BeginReport();
        ReportRun(run, command, code);
        // The deadline counts the run's work, never the reader of its log.
        deadline.Stop();
    }
    if (exitCode) {
        *exitCode = code;
    }
    // The dialog waits for a user as long as the user likes; the next run need not.
    lock.Release();
    // A modal dialog nobody can see would hold an unattended deployment (a
    // service or a non-interactive session) forever: there the log stays unshown.
    if ((run.errorCount != 0 || ShiftIsDown()) && MayShowLogDialog()) {
        user.DialogBoxParamW(moduleInstance, MAKEINTRESOURCEW(kLogDialogId), parent, &LogDialogProc,
                             reinterpret_cast<LPARAM>(&run));
    }
    bool errors = run.errorCount != 0;
    FreeInstallRun(run);
    return errors;
}

int RunExitCode(Command command, bool errorsLogged, DWORD scheduled, bool refused) {
    if (refused) {
        return kExitRefused;
    }
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

bool RunsAsLocalSystem() {
    TokenSid buffer;
    PSID account = OwnTokenSid(TokenUser, buffer);
    return account && advapi.IsWellKnownSid(account, WinLocalSystemSid);
}

bool MayShowLogDialog() {
    DWORD session = 0;
    USEROBJECTFLAGS flags = {};
    HWINSTA station = user.GetProcessWindowStation();
    return kernel.ProcessIdToSessionId(kernel.GetCurrentProcessId(), &session) && session != 0 &&
           RunsAsAUser() && station &&
           user.GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), nullptr) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        InitLogDialog(dialog, *reinterpret_cast<const InstallRun*>(lParam));
    } else if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
        user.EndDialog(dialog, 1);
    } else if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        user.EndDialog(dialog, 0);
    }
    // FALSE on WM_INITDIALOG as well: the dialog manager leaves the focus alone.
    return FALSE;
}

bool RunInstall(HWND parent, DWORD* scheduled, int* exitCode) {
    return RunWithProcedure(&ReInstall, Command::Install, parent, scheduled, exitCode);
}

bool RunUninstall(HWND parent, DWORD* scheduled, int* exitCode) {
    return RunWithProcedure(&UninstallAndCleanUp, Command::Uninstall, parent, scheduled, exitCode);
}

int RunCheck() {
    InstallRun run = {};
    ResetInstallRun(run);
    ResolveSourceDirectory(run);
    int code = CheckBeforeInstall(run) ? kExitInstalled : kExitRefused;
    ReportRun(run, Command::Check, code);
    FreeInstallRun(run);
    return code;
}
