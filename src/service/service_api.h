// The service manager calls of the spooler control, filled with the real
// functions at start-up; tests replace single entries to make them fail.
#pragma once

#include <windows.h>

#include "core/handles.h"

struct ServiceApi {
    decltype(&::OpenSCManagerW) OpenSCManagerW;
    decltype(&::OpenServiceW) OpenServiceW;
    decltype(&::ControlService) ControlService;
    decltype(&::QueryServiceStatus) QueryServiceStatus;
    decltype(&::StartServiceW) StartServiceW;
    decltype(&::CloseServiceHandle) CloseServiceHandle;
    // The start type, which an install reads and never changes.
    decltype(&::QueryServiceConfigW) QueryServiceConfigW;
};

extern ServiceApi services;

namespace service_detail {
inline void CloseService(SC_HANDLE h) {
    services.CloseServiceHandle(h);
}
}  // namespace service_detail
using UniqueService = Unique<SC_HANDLE, &service_detail::CloseService>;
