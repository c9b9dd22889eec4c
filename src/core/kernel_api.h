// kernel32: every function of it the installer calls, bound by name at
// start-up (core/os_tables.h). A test replaces one entry for one scope (see
// tests/support/scoped_override.h) to make Windows fail where Wine will not:
// memory, a full disk, a wait that runs out, a machine of another kind.
#pragma once

#include <windows.h>

#include "core/os_tables.h"

// IsWow64Process2 exists from Windows 10 1709 on; the headers declare it
// only for builds that require that version.
#if _WIN32_WINNT < 0x0A00
extern "C" BOOL WINAPI IsWow64Process2(HANDLE process, USHORT* processMachine,
                                       USHORT* nativeMachine);
#endif

#define KERNEL32_CALLS(X)                                                            \
    /* Memory: the harness runs out of it. */                                        \
    X(GetProcessHeap, kKept)                                                         \
    X(HeapAlloc, kFaulted)                                                           \
    X(HeapReAlloc, kFaulted)                                                         \
    X(HeapFree, kKept)                                                               \
    X(GlobalAlloc, kFaulted)                                                         \
    X(GlobalFree, kKept)                                                             \
    /* Files: a failed read or a short write (a full disk) is not had for real. */   \
    X(GetModuleFileNameW, kFaulted)                                                  \
    X(GetSystemDirectoryW, kFaulted)                                                 \
    X(CreateFileW, kFaulted)                                                         \
    X(ReadFile, kFaulted)                                                            \
    X(WriteFile, kFaulted)                                                           \
    X(GetFileSizeEx, kFaulted)                                                       \
    X(SetFilePointerEx, kFaulted)                                                    \
    X(GetFileAttributesW, kFaulted)                                                  \
    X(GetFileInformationByHandle, kFaulted)                                          \
    X(MoveFileExW, kFaulted)                                                         \
    X(DeleteFileW, kFaulted)                                                         \
    /* The run lock, the deadline's watch and the tray program's mutex. */           \
    X(CreateMutexW, kFaulted)                                                        \
    X(CreateMutexA, kFaulted)                                                        \
    X(ReleaseMutex, kKept)                                                           \
    X(CreateEventW, kFaulted)                                                        \
    X(SetEvent, kKept)                                                               \
    X(CreateThread, kFaulted)                                                        \
    X(WaitForSingleObject, kFaulted)                                                 \
    X(AcquireSRWLockExclusive, kKept)                                                \
    X(ReleaseSRWLockExclusive, kKept)                                                \
    /* The deadline's own waits, which tests that make waits return at once must  */ \
    /* not shorten; a failed one would leave its watch on state already freed.    */ \
    X(WaitForSingleObjectEx, kKept)                                                  \
    X(Sleep, kKept)                                                                  \
    X(GetTickCount, kKept)                                                           \
    /* The run lock in a namespace only administrators and SYSTEM can make  */       \
    /* (Vista's; Wine's kernel32 has no private namespaces).                  */     \
    X(CreateBoundaryDescriptorW, kFaulted)                                           \
    X(AddSIDToBoundaryDescriptor, kOptional)                                         \
    X(CreatePrivateNamespaceW, kOptional)                                            \
    X(OpenPrivateNamespaceW, kOptional)                                              \
    X(ClosePrivateNamespace, kOptional)                                              \
    X(DeleteBoundaryDescriptor, kOptional)                                           \
    /* Processes: the tray program, the signed-in users' steps, the deadline. */     \
    X(GetCurrentProcess, kKept)                                                      \
    X(GetCurrentProcessId, kKept)                                                    \
    X(ProcessIdToSessionId, kFaulted)                                                \
    X(OpenProcess, kFaulted)                                                         \
    X(CreateProcessW, kFaulted)                                                      \
    X(GetExitCodeProcess, kFaulted)                                                  \
    X(TerminateProcess, kKept)                                                       \
    X(GetCommandLineW, kKept)                                                        \
    X(SetEnvironmentVariableW, kFaulted)                                             \
    X(GetVersionExA, kFaulted)                                                       \
    X(SetDefaultDllDirectories, kKept)                                               \
    /* Tells Windows from Wine (ntdll's wine_get_version). */                        \
    X(GetProcAddress, kKept)                                                         \
    /* Vista's: a start as a child of the shell's process. */                        \
    X(InitializeProcThreadAttributeList, kFaulted | kOptional)                       \
    X(UpdateProcThreadAttribute, kFaulted | kOptional)                               \
    X(DeleteProcThreadAttributeList, kOptional)                                      \
    /* The machine an install runs on: ARM64 is not to be had under Wine. */         \
    X(IsWow64Process2, kFaulted | kOptional)                                         \
    /* Texts and the last error, which cannot fail. */                               \
    X(GetLastError, kKept)                                                           \
    X(SetLastError, kKept)                                                           \
    X(FormatMessageW, kFaulted)                                                      \
    X(CompareStringOrdinal, kKept)                                                   \
    X(MultiByteToWideChar, kKept)                                                    \
    X(WideCharToMultiByte, kKept)                                                    \
    X(lstrlenA, kKept)                                                               \
    X(lstrlenW, kKept)                                                               \
    X(lstrcmpW, kKept)                                                               \
    X(lstrcpyA, kKept)                                                               \
    X(lstrcpyW, kKept)                                                               \
    X(lstrcpynA, kKept)                                                              \
    X(lstrcpynW, kKept)                                                              \
    X(lstrcatW, kKept)

struct KernelApi {
    KERNEL32_CALLS(ZRL_OS_FIELD)
};

extern KernelApi kernel;

// Zero-filled block of the fixed global heap, or null.
void* AllocGlobal(SIZE_T bytes);
void FreeGlobal(void* block);
