// The kernel calls whose failures the installer must handle but that cannot be
// made to fail for real under Wine: memory, the clock, sleeping, the system
// folder, reboot scheduling, opening and reading registry keys that always
// exist there, and every registry call of the journal and of the event
// source. Filled with the real functions at start-up; a test
// replaces one entry for one scope (see tests/support/scoped_override.h).
#pragma once

#include <windows.h>
#include <aclapi.h>

#include "core/handles.h"

struct KernelApi {
    decltype(&::GetModuleFileNameW) GetModuleFileNameW;
    decltype(&::GetSystemDirectoryW) GetSystemDirectoryW;
    decltype(&::Sleep) Sleep;
    decltype(&::GetTickCount) GetTickCount;
    decltype(&::HeapAlloc) HeapAlloc;
    decltype(&::HeapReAlloc) HeapReAlloc;
    decltype(&::HeapFree) HeapFree;
    decltype(&::GlobalAlloc) GlobalAlloc;
    decltype(&::GlobalFree) GlobalFree;
    decltype(&::MoveFileExW) MoveFileExW;
    decltype(&::DeleteFileW) DeleteFileW;
    decltype(&::RegOpenKeyExA) RegOpenKeyExA;
    decltype(&::RegQueryValueExW) RegQueryValueExW;
    // The printers journal: a full or failing registry is not available for real.
    decltype(&::RegOpenKeyExW) RegOpenKeyExW;
    decltype(&::RegCreateKeyExW) RegCreateKeyExW;
    decltype(&::RegSetValueExW) RegSetValueExW;
    decltype(&::RegFlushKey) RegFlushKey;
    decltype(&::RegDeleteValueW) RegDeleteValueW;
    decltype(&::RegEnumValueW) RegEnumValueW;
    decltype(&::RegQueryInfoKeyW) RegQueryInfoKeyW;
    decltype(&::RegDeleteKeyW) RegDeleteKeyW;
    // The run lock: a wait that runs out cannot be waited for in a test.
    decltype(&::CreateMutexW) CreateMutexW;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    // Tells Windows from Wine (ntdll's wine_get_version), for the one step that differs.
    decltype(&::GetProcAddress) GetProcAddress;
    // A failed read or a short write (a full disk) cannot be caused for real.
    decltype(&::ReadFile) ReadFile;
    decltype(&::WriteFile) WriteFile;
    // The machine an install runs on: an ARM64 one, or Windows protected
    // print mode, are not to be had under Wine. IsWow64Process2 exists from
    // Windows 10 1709 on; before it, this fails with ERROR_PROC_NOT_FOUND.
    BOOL(WINAPI* IsWow64Process2)(HANDLE process, USHORT* processMachine, USHORT* nativeMachine);
    // How a run that passed its deadline ends; a test cannot let it end itself.
    decltype(&::TerminateProcess) TerminateProcess;
    // The run lock in a namespace only administrators and SYSTEM can make
    // (Wine has none), and the owner of a lock made elsewhere (Wine has one user).
    decltype(&::CreateBoundaryDescriptorW) CreateBoundaryDescriptorW;
    decltype(&::AddSIDToBoundaryDescriptor) AddSIDToBoundaryDescriptor;
    decltype(&::CreatePrivateNamespaceW) CreatePrivateNamespaceW;
    decltype(&::OpenPrivateNamespaceW) OpenPrivateNamespaceW;
    decltype(&::ClosePrivateNamespace) ClosePrivateNamespace;
    decltype(&::DeleteBoundaryDescriptor) DeleteBoundaryDescriptor;
    decltype(&::GetSecurityInfo) GetSecurityInfo;
    // A printer's auditing entries (SACL) are read and set only through a
    // handle opened with ACCESS_SYSTEM_SECURITY, which needs SeSecurityPrivilege
    // enabled; a token without it cannot be had under Wine.
    decltype(&::OpenProcessToken) OpenProcessToken;
    decltype(&::LookupPrivilegeValueW) LookupPrivilegeValueW;
    decltype(&::AdjustTokenPrivileges) AdjustTokenPrivileges;
};

extern KernelApi kernel;

// Zero-filled block of the fixed global heap, or null.
void* AllocGlobal(SIZE_T bytes);
void FreeGlobal(void* block);

namespace kernel_detail {
inline void FreeGlobalBlock(void* p) {
    FreeGlobal(p);
}
}  // namespace kernel_detail
using UniqueGlobal = Unique<void*, &kernel_detail::FreeGlobalBlock>;
