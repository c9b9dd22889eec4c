// userenv and wtsapi32: the users signed in to the machine, their sessions,
// tokens and environments. Neither is a KnownDLL: imported, each would be
// looked for first in the folder the elevated installer was started from.
// So both are loaded from System32 when a run first needs them
// (BindSessionTables), and every entry is optional (core/os_tables.h): one
// that cannot be had fails with ERROR_PROC_NOT_FOUND.
// Wine has one user, no SYSTEM account and no session list: tests replace
// single entries.
#pragma once

#include <windows.h>
#include <userenv.h>
#include <wtsapi32.h>

#include "core/os_tables.h"

#define USERENV_CALLS(X)                            \
    X(CreateEnvironmentBlock, kFaulted | kOptional) \
    X(DestroyEnvironmentBlock, kOptional)

#define WTSAPI32_CALLS(X)                                \
    X(WTSEnumerateSessionsW, kFaulted | kOptional)       \
    X(WTSQuerySessionInformationW, kFaulted | kOptional) \
    X(WTSQueryUserToken, kFaulted | kOptional)           \
    X(WTSFreeMemory, kOptional)

struct UserenvApi {
    USERENV_CALLS(ZRL_OS_FIELD)
};

struct WtsapiApi {
    WTSAPI32_CALLS(ZRL_OS_FIELD)
};

extern UserenvApi userenv;
extern WtsapiApi wtsapi;
