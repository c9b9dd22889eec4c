#include "service/spooler_service.h"

#include "core/kernel_api.h"
#include "core/run_log.h"
#include "core/advapi_api.h"
#include "core/handles.h"

namespace {

constexpr wchar_t kSpoolerService[] = L"spooler";
constexpr DWORD kManagerAccess = STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT;
constexpr DWORD kRestartAccess = SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP;
constexpr DWORD kCheckAccess = SERVICE_QUERY_STATUS | SERVICE_START;
constexpr int kMaxPolls = 50;
constexpr DWORD kPollMs = 200;

// Open scopes whose end will start the spooler again. A run ended from outside
// (its deadline) never reaches that end: its watch thread reads this instead.
volatile LONG stoppedScopes = 0;

SC_HANDLE OpenManager() {
    return advapi.OpenSCManagerW(nullptr, nullptr, kManagerAccess);
}

// Polls until the service reports `state`, at most 50 pauses of 200 ms. A
// failed query leaves the last state read in place.
bool WaitForState(SC_HANDLE service, SERVICE_STATUS& status, DWORD state) {
    advapi.QueryServiceStatus(service, &status);
    for (int i = 0; i < kMaxPolls && status.dwCurrentState != state; ++i) {
        kernel.Sleep(kPollMs);
        advapi.QueryServiceStatus(service, &status);
    }
    return status.dwCurrentState == state;
}

void RequestStop(SpoolerRestart& guard, SERVICE_STATUS& status) {
    // Counted before the request: a deadline that passes in between must not
    // find the spooler stopped and the scope uncounted.
    InterlockedIncrement(&stoppedScopes);
    if (!advapi.ControlService(guard.service, SERVICE_CONTROL_STOP, &status)) {
        DWORD code = kernel.GetLastError();
        // A spooler that was not running is what a stop wants anyway.
        if (code != ERROR_SERVICE_NOT_ACTIVE && guard.run) {
            LogError(*guard.run, kErrorControlService, code, code);
        }
    }
    guard.stopRequested = 1;
}

}  // namespace

SpoolerStart SpoolerStartType() {
    UniqueService manager(OpenManager());
    UniqueService service(
        manager ? advapi.OpenServiceW(manager.Get(), kSpoolerService, SERVICE_QUERY_CONFIG)
                : nullptr);
    if (!service) {
        return SpoolerStart::Unknown;
    }
    // QUERY_SERVICE_CONFIGW is followed by its strings: 8 KiB is the most the call asks.
    alignas(QUERY_SERVICE_CONFIGW) BYTE block[8 * 1024];
    DWORD needed = 0;
    if (!advapi.QueryServiceConfigW(service.Get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(block),
                                    sizeof(block), &needed)) {
        return SpoolerStart::Unknown;
    }
    DWORD startType = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(block)->dwStartType;
    return startType == SERVICE_DISABLED ? SpoolerStart::Disabled : SpoolerStart::Allowed;
}

bool StartSpoolerAndWait(SC_HANDLE service) {
    // A running service fails the start but passes the wait.
    advapi.StartServiceW(service, 0, nullptr);
    SERVICE_STATUS status = {};
    return WaitForState(service, status, SERVICE_RUNNING);
}

SpoolerRestart& BeginSpoolerRestart(SpoolerRestart& guard, InstallRun* run) {
    if (run) {
        LogLine(*run, ">Restart Spooler");
    }
    guard.run = run;
    guard.service = nullptr;
    guard.stopRequested = 0;
    guard.manager = OpenManager();
    if (!guard.manager) {
        if (run) {
            LogError(*run, kErrorOpenServiceManager);
        }
        return guard;
    }
    guard.service = advapi.OpenServiceW(guard.manager, kSpoolerService, kRestartAccess);
    if (!guard.service) {
        if (run) {
            LogError(*run, kErrorOpenSpooler);
        }
        return guard;
    }
    SERVICE_STATUS status = {};
    RequestStop(guard, status);
    if (!WaitForState(guard.service, status, SERVICE_STOPPED) && run) {
        LogError(*run, kErrorStopSpooler);
    }
    return guard;
}

void EndSpoolerRestart(SpoolerRestart& guard) {
    if (guard.service) {
        if (guard.stopRequested && !StartSpoolerAndWait(guard.service) && guard.run) {
            LogError(*guard.run, kErrorStartSpooler);
        }
        if (guard.stopRequested) {
            InterlockedDecrement(&stoppedScopes);
        }
        advapi.CloseServiceHandle(guard.service);
        guard.service = nullptr;
    }
    if (guard.manager) {
        advapi.CloseServiceHandle(guard.manager);
        guard.manager = nullptr;
    }
}

void RestartSpooler(InstallRun* run) {
    SpoolerRestart guard = {};
    BeginSpoolerRestart(guard, run);
    EndSpoolerRestart(guard);
}

void StartSpoolerLeftStopped(InstallRun& run) {
    if (InterlockedCompareExchange(&stoppedScopes, 0, 0) == 0) {
        return;
    }
    LogLine(run, ">Start the spooler the run had stopped");
    // Handles of its own: the run's thread may close the scope's at any moment.
    UniqueService manager(OpenManager());
    UniqueService service(
        manager ? advapi.OpenServiceW(manager.Get(), kSpoolerService, kCheckAccess) : nullptr);
    if (!service || !StartSpoolerAndWait(service.Get())) {
        LogError(run, kErrorStartSpooler);
    }
}

bool CheckSpooler(InstallRun& run) {
    LogLine(run, ">Check Spooler");
    ++run.logDepth;
    UniqueService manager(OpenManager());
    if (!manager) {
        LogError(run, kErrorOpenServiceManager);
        --run.logDepth;
        return false;
    }
    bool running = true;
    UniqueService service(advapi.OpenServiceW(manager.Get(), kSpoolerService, kCheckAccess));
    if (!service) {
        LogError(run, kErrorOpenSpooler);
        running = false;
    } else {
        SERVICE_STATUS status = {};
        // A state that cannot be read is taken as running: nothing is started.
        if (advapi.QueryServiceStatus(service.Get(), &status) &&
            status.dwCurrentState != SERVICE_RUNNING && !StartSpoolerAndWait(service.Get())) {
            LogError(run, kErrorStartSpooler);
            running = false;
        }
    }
    --run.logDepth;
    return running;
}
