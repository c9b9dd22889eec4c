// A scripted spooler service in place of the service manager, for one scope:
// fake handles, states the test sets, and counts of what the code under test
// did. Sleeps are counted, not slept. State is static, as the replacements
// are captureless; constructing the fake resets it.
#pragma once

#include <windows.h>

#include "core/kernel_api.h"
#include "core/advapi_api.h"
#include "support/scoped_override.h"

class FakeSpoolerService {
public:
    FakeSpoolerService();
    ~FakeSpoolerService();
    FakeSpoolerService(const FakeSpoolerService&) = delete;
    FakeSpoolerService& operator=(const FakeSpoolerService&) = delete;

    static inline DWORD state;           // what QueryServiceStatus reports
    static inline DWORD stateAfterStop;  // state once ControlService was called
    static inline DWORD stateAfterStart;
    static inline DWORD controlError;  // 0: ControlService succeeds
    static inline DWORD startError;    // 0: StartServiceW succeeds
    static inline bool openManager;
    static inline bool openService;
    static inline HANDLE releasedOnStop;  // a lock the stopped spooler lets go of
    static inline int stops;
    static inline int starts;
    static inline int polls;        // 200 ms: waits for a service state
    static inline int shortPauses;  // 50 ms: retries of a spooler call
    static inline int opened;
    static inline int closed;

private:
    ScopedOverride<decltype(advapi.OpenSCManagerW)> manager_;
    ScopedOverride<decltype(advapi.OpenServiceW)> service_;
    ScopedOverride<decltype(advapi.ControlService)> control_;
    ScopedOverride<decltype(advapi.QueryServiceStatus)> query_;
    ScopedOverride<decltype(advapi.StartServiceW)> start_;
    ScopedOverride<decltype(advapi.CloseServiceHandle)> close_;
    ScopedOverride<decltype(advapi.QueryServiceConfigW)> config_;
    ScopedOverride<decltype(kernel.Sleep)> sleep_;
};
