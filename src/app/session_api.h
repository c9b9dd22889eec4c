// The calls through which a run as SYSTEM reaches the users signed in to the
// machine: their sessions, their tokens, and the installer's short steps
// started as each of them. Filled with the real functions (wtsapi32 and
// userenv bound from System32 when first called, core/on_demand.h); tests
// replace single entries. Wine has one user, no SYSTEM account and no
// session list (WTSEnumerateSessionsW lists none), and a step that fails or
// never ends cannot be had there for real.
#pragma once

#include <windows.h>
#include <userenv.h>
#include <wtsapi32.h>

struct SessionApi {
    decltype(&::WTSEnumerateSessionsW) WTSEnumerateSessionsW;
    decltype(&::WTSFreeMemory) WTSFreeMemory;
    decltype(&::WTSQueryUserToken) WTSQueryUserToken;
    decltype(&::CreateEnvironmentBlock) CreateEnvironmentBlock;
    decltype(&::DestroyEnvironmentBlock) DestroyEnvironmentBlock;
    decltype(&::CreateProcessAsUserW) CreateProcessAsUserW;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::GetExitCodeProcess) GetExitCodeProcess;
    decltype(&::TerminateProcess) TerminateProcess;
};

extern SessionApi sessions;
