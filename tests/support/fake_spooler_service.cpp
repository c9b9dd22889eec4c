#include "support/fake_spooler_service.h"
#include "core/advapi_api.h"

#include <gtest/gtest.h>

namespace {

using Fake = FakeSpoolerService;

SC_HANDLE WINAPI ManagerOpen(LPCWSTR, LPCWSTR, DWORD) {
    if (!Fake::openManager) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    ++Fake::opened;
    return reinterpret_cast<SC_HANDLE>(0x1000);
}

SC_HANDLE WINAPI ServiceOpen(SC_HANDLE, LPCWSTR name, DWORD) {
    if (!Fake::openService || lstrcmpW(name, L"spooler") != 0) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    ++Fake::opened;
    return reinterpret_cast<SC_HANDLE>(0x2000);
}

BOOL WINAPI Control(SC_HANDLE, DWORD, LPSERVICE_STATUS) {
    ++Fake::stops;
    Fake::state = Fake::stateAfterStop;
    if (Fake::releasedOnStop) {
        CloseHandle(Fake::releasedOnStop);
        Fake::releasedOnStop = nullptr;
    }
    SetLastError(Fake::controlError);
    return Fake::controlError == 0;
}

BOOL WINAPI Query(SC_HANDLE, LPSERVICE_STATUS status) {
    status->dwCurrentState = Fake::state;
    return TRUE;
}

BOOL WINAPI Start(SC_HANDLE, DWORD, LPCWSTR*) {
    ++Fake::starts;
    Fake::state = Fake::stateAfterStart;
    SetLastError(Fake::startError);
    return Fake::startError == 0;
}

BOOL WINAPI Close(SC_HANDLE) {
    ++Fake::closed;
    return TRUE;
}

VOID WINAPI Pause(DWORD ms) {
    if (ms == 200) {
        ++Fake::polls;
    } else if (ms == 50) {
        ++Fake::shortPauses;
    } else {
        ADD_FAILURE() << "slept " << ms << " ms";
    }
}

}  // namespace

FakeSpoolerService::FakeSpoolerService()
    : manager_(advapi.OpenSCManagerW, &ManagerOpen),
      service_(advapi.OpenServiceW, &ServiceOpen),
      control_(advapi.ControlService, &Control),
      query_(advapi.QueryServiceStatus, &Query),
      start_(advapi.StartServiceW, &Start),
      close_(advapi.CloseServiceHandle, &Close),
      config_(advapi.QueryServiceConfigW,
              [](SC_HANDLE, LPQUERY_SERVICE_CONFIGW config, DWORD, LPDWORD) -> BOOL {
                  config->dwStartType = SERVICE_DEMAND_START;
                  return TRUE;
              }),
      sleep_(kernel.Sleep, &Pause) {
    state = SERVICE_RUNNING;
    stateAfterStop = SERVICE_STOPPED;
    stateAfterStart = SERVICE_RUNNING;
    controlError = 0;
    startError = 0;
    openManager = true;
    openService = true;
    releasedOnStop = nullptr;
    stops = starts = polls = shortPauses = opened = closed = 0;
}

FakeSpoolerService::~FakeSpoolerService() {
    if (releasedOnStop) {
        CloseHandle(releasedOnStop);
    }
}
