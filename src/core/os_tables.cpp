#include "core/os_tables.h"

#include "core/advapi_api.h"
#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/session_api.h"
#include "core/user_api.h"

// Filled by BindSystemTables before anything else runs: the executable has
// no C runtime start-up, so nothing here may need a constructor.
KernelApi kernel;
AdvapiApi advapi;
UserApi user;
ShellApi shell;
UserenvApi userenv;
WtsapiApi wtsapi;

namespace {

// Each list once more as its names and its kinds.
#define ZRL_OS_LIST(list, calls, dll, table)                        \
    constexpr char list##Names[] = calls(ZRL_OS_NAME);              \
    constexpr unsigned short list##Kinds[] = {calls(ZRL_OS_KIND)};  \
    calls(ZRL_OS_OPTIONAL) constexpr unsigned list##Count =         \
        sizeof(list##Kinds) / sizeof(list##Kinds[0]);               \
    static_assert(sizeof(table) == list##Count * sizeof(FARPROC) && \
                  CountNames(list##Names) == list##Count);          \
    constexpr OsTable list##List = {dll, list##Names, list##Kinds, &table, list##Count};

ZRL_OS_LIST(kKernel, KERNEL32_CALLS, L"kernel32.dll", kernel)
ZRL_OS_LIST(kAdvapi, ADVAPI32_CALLS, L"advapi32.dll", advapi)
ZRL_OS_LIST(kUser, USER32_CALLS, L"user32.dll", user)
ZRL_OS_LIST(kShell, SHELL32_CALLS, L"shell32.dll", shell)
ZRL_OS_LIST(kUserenv, USERENV_CALLS, L"userenv.dll", userenv)
ZRL_OS_LIST(kWtsapi, WTSAPI32_CALLS, L"wtsapi32.dll", wtsapi)

// Where an optional function cannot be had. Every entry holds what
// GetProcAddress answers, a FARPROC (`INT_PTR (WINAPI*)()`), called through
// its own type; under the x64 calling convention the caller cleans up the
// arguments, so this answers any of them as a missing export would fail.
INT_PTR WINAPI MissingFunction() {
    kernel.SetLastError(ERROR_PROC_NOT_FOUND);
    return 0;
}

// advapi32, user32 and shell32 are KnownDLLs: the loader maps the system's
// copy whatever folder the installer runs from; userenv and wtsapi32 are
// not, and imported, would be looked for first in the folder the elevated
// installer was started from. The library stays loaded for the life of the
// process: the tables point into it.
HMODULE LoadSystemLibrary(const wchar_t* name) {
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

bool BindOsTable(HMODULE module, const OsTable& list, bool onlyStandIns) {
    const char* name = list.names;
    for (unsigned i = 0; i < list.count; ++i, name = NameAt(name, 1)) {
        // The entries are function pointers of as many types: copied as bytes.
        BYTE* entry = static_cast<BYTE*>(list.table) + i * sizeof(FARPROC);
        FARPROC held = nullptr;
        CopyMemory(&held, entry, sizeof(held));
        if (onlyStandIns && held != &MissingFunction) {
            continue;
        }
        ULONG_PTR ordinal = list.kinds[i] >> 2;
        FARPROC found =
            module ? GetProcAddress(module, ordinal ? reinterpret_cast<LPCSTR>(ordinal) : name)
                   : nullptr;
        if (!found && (list.kinds[i] & kOptional)) {
            found = &MissingFunction;
        }
        // A function a Windows version lacks: no stand-in could answer for
        // it without passing for a success, unless it is optional.
        if (!found) {
            return false;
        }
        CopyMemory(entry, &found, sizeof(found));
    }
    return true;
}

namespace {

bool sessionTablesLoaded = false;

}  // namespace

bool BindSystemTables() {
    // userenv and wtsapi32 start as stand-ins (all their entries are
    // optional): most runs never need them, and a run that does binds them
    // first (BindSessionTables).
    sessionTablesLoaded = false;
    return BindOsTable(GetModuleHandleW(kKernelList.library), kKernelList) &&
           BindOsTable(LoadSystemLibrary(kAdvapiList.library), kAdvapiList) &&
           BindOsTable(LoadSystemLibrary(kUserList.library), kUserList) &&
           BindOsTable(LoadSystemLibrary(kShellList.library), kShellList) &&
           BindOsTable(nullptr, kUserenvList) && BindOsTable(nullptr, kWtsapiList);
}

void BindSessionTables() {
    if (!sessionTablesLoaded) {
        sessionTablesLoaded = true;
        BindOsTable(LoadSystemLibrary(kUserenvList.library), kUserenvList, true);
        BindOsTable(LoadSystemLibrary(kWtsapiList.library), kWtsapiList, true);
    }
}

void* AllocGlobal(SIZE_T bytes) {
    return reinterpret_cast<void*>(kernel.GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, bytes));
}

void FreeGlobal(void* block) {
    if (block) {
        kernel.GlobalFree(reinterpret_cast<HGLOBAL>(block));
    }
}

PSID OwnTokenSid(TOKEN_INFORMATION_CLASS which, TokenSid& buffer) {
    static_assert(offsetof(TOKEN_USER, User.Sid) == 0 && offsetof(TOKEN_OWNER, Owner) == 0);
    UniqueHandle token;
    DWORD bytes = 0;
    if (!advapi.OpenProcessToken(kernel.GetCurrentProcess(), TOKEN_QUERY, token.Put()) ||
        !advapi.GetTokenInformation(token.Get(), which, buffer.bytes, sizeof(buffer.bytes),
                                    &bytes)) {
        return nullptr;
    }
    return *reinterpret_cast<PSID*>(buffer.bytes);
}
