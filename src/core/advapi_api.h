// advapi32: the registry, tokens and security, the service manager and the
// event log, bound by name at start-up (core/os_tables.h). Tests replace
// single entries: a full or failing registry, a token of another user or
// without a privilege, a spooler service that will not stop, an event log
// that stores something: none of it is to be had under Wine.
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "core/os_tables.h"

#define ADVAPI32_CALLS(X)                                                        \
    /* The registry: the journal, the event source, the settings key. */         \
    X(RegOpenKeyExA, kFaulted)                                                   \
    X(RegOpenKeyExW, kFaulted)                                                   \
    X(RegCreateKeyExW, kFaulted)                                                 \
    X(RegQueryValueExW, kFaulted)                                                \
    X(RegQueryInfoKeyW, kFaulted)                                                \
    X(RegEnumValueW, kFaulted)                                                   \
    X(RegEnumKeyExW, kFaulted)                                                   \
    X(RegSetValueExW, kFaulted)                                                  \
    X(RegFlushKey, kFaulted)                                                     \
    X(RegDeleteValueA, kFaulted)                                                 \
    X(RegDeleteValueW, kFaulted)                                                 \
    X(RegDeleteKeyW, kFaulted)                                                   \
    /* Who runs the installer, and as whom the tray program starts. */           \
    X(OpenProcessToken, kFaulted)                                                \
    X(GetTokenInformation, kFaulted)                                             \
    X(CheckTokenMembership, kFaulted)                                            \
    X(DuplicateTokenEx, kFaulted)                                                \
    X(LookupAccountNameW, kFaulted)                                              \
    X(LookupPrivilegeValueW, kFaulted)                                           \
    X(AdjustTokenPrivileges, kFaulted)                                           \
    X(CreateProcessWithTokenW, kFaulted)                                         \
    X(CreateProcessAsUserW, kFaulted)                                            \
    /* Security: the run lock's access list and the printers' descriptors. */    \
    X(GetSecurityInfo, kFaulted)                                                 \
    X(ConvertStringSecurityDescriptorToSecurityDescriptorW, kFaulted)            \
    X(CreateWellKnownSid, kFaulted)                                              \
    /* Builders and readers of descriptors in the process's own memory. */       \
    X(EqualSid, kKept)                                                           \
    X(IsWellKnownSid, kKept)                                                     \
    X(IsValidSid, kKept)                                                         \
    X(IsValidAcl, kKept)                                                         \
    X(IsValidSecurityDescriptor, kKept)                                          \
    X(InitializeSecurityDescriptor, kKept)                                       \
    X(MakeSelfRelativeSD, kKept)                                                 \
    X(GetSecurityDescriptorLength, kKept)                                        \
    X(GetSecurityDescriptorControl, kKept)                                       \
    X(GetSecurityDescriptorOwner, kKept)                                         \
    X(GetSecurityDescriptorGroup, kKept)                                         \
    X(GetSecurityDescriptorDacl, kKept)                                          \
    X(GetSecurityDescriptorSacl, kKept)                                          \
    X(SetSecurityDescriptorControl, kKept)                                       \
    X(SetSecurityDescriptorOwner, kKept)                                         \
    X(SetSecurityDescriptorGroup, kKept)                                         \
    X(SetSecurityDescriptorDacl, kKept)                                          \
    X(SetSecurityDescriptorSacl, kKept)                                          \
    /* The spooler service, whose start type an install reads, never changes. */ \
    X(OpenSCManagerW, kFaulted)                                                  \
    X(OpenServiceW, kFaulted)                                                    \
    X(QueryServiceStatus, kFaulted)                                              \
    X(QueryServiceConfigW, kFaulted)                                             \
    X(ControlService, kFaulted)                                                  \
    X(StartServiceW, kFaulted)                                                   \
    X(CloseServiceHandle, kKept)                                                 \
    /* The report at the end of a run; Wine's event log stores nothing. */       \
    X(RegisterEventSourceW, kFaulted)                                            \
    X(ReportEventW, kFaulted)                                                    \
    X(DeregisterEventSource, kKept)

struct AdvapiApi {
    ADVAPI32_CALLS(ZRL_OS_FIELD)
};

extern AdvapiApi advapi;

// Room for the start of TOKEN_USER or TOKEN_OWNER and the SID it points to.
struct TokenSid {
    alignas(TOKEN_USER) BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
};

// The installer's own account (`TokenUser`) or the default owner of what it
// makes (`TokenOwner`), kept in `buffer`; null when it cannot be told. Both
// records start with the SID's address.
PSID OwnTokenSid(TOKEN_INFORMATION_CLASS which, TokenSid& buffer);
