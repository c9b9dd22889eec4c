#include "core/os_tables.h"

#include "core/advapi_api.h"
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

// The libraries of the lists with late entries, which each call names.
constexpr wchar_t kKernel32Dll[] = L"kernel32.dll";
constexpr wchar_t kUserenvDll[] = L"userenv.dll";
constexpr wchar_t kWtsapi32Dll[] = L"wtsapi32.dll";

// Each list once more as its names, its kinds and its entries' numbers.
#define ZRL_OS_LIST(list, calls, dll, table)                                       \
    constexpr char list##Names[] = calls(ZRL_OS_NAME);                             \
    constexpr unsigned short list##Kinds[] = {calls(ZRL_OS_KIND)};                 \
    namespace list##At {                                                           \
        enum : unsigned { calls(ZRL_OS_INDEX) };                                   \
    }                                                                              \
    constexpr unsigned list##Count = sizeof(list##Kinds) / sizeof(list##Kinds[0]); \
    static_assert(sizeof(table) == list##Count * sizeof(FARPROC) &&                \
                  CountNames(list##Names) == list##Count);                         \
    constexpr OsTable list##List = {dll, list##Names, list##Kinds, &table, list##Count};

ZRL_OS_LIST(kKernel, KERNEL32_CALLS, kKernel32Dll, kernel)
ZRL_OS_LIST(kAdvapi, ADVAPI32_CALLS, L"advapi32.dll", advapi)
ZRL_OS_LIST(kUser, USER32_CALLS, L"user32.dll", user)
ZRL_OS_LIST(kShell, SHELL32_CALLS, L"shell32.dll", shell)
ZRL_OS_LIST(kUserenv, USERENV_CALLS, kUserenvDll, userenv)
ZRL_OS_LIST(kWtsapi, WTSAPI32_CALLS, kWtsapi32Dll, wtsapi)

// A late entry gets the stub that binds it at each call.
template <unsigned short Kind, const wchar_t* Library, const char* Names, unsigned Index,
          typename F>
void PutLate(F& entry) {
    if constexpr ((Kind & kLate) != 0) {
        entry = &Late<Library, Names, Index, F>::Call;
    }
}

#define ZRL_KERNEL_LATE(name, kind) \
    PutLate<kind, kKernel32Dll, kKernelNames, kKernelAt::kAt##name>(kernel.name);
#define ZRL_USERENV_LATE(name, kind) \
    PutLate<kind, kUserenvDll, kUserenvNames, kUserenvAt::kAt##name>(userenv.name);
#define ZRL_WTSAPI_LATE(name, kind) \
    PutLate<kind, kWtsapi32Dll, kWtsapiNames, kWtsapiAt::kAt##name>(wtsapi.name);

// Only these three lists have late entries: the binder leaves a late entry
// of any other list empty, which this keeps from happening unseen.
constexpr bool NoneLate(const unsigned short* kinds, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        if (kinds[i] & kLate) {
            return false;
        }
    }
    return true;
}
static_assert(NoneLate(kAdvapiKinds, kAdvapiCount) && NoneLate(kUserKinds, kUserCount) &&
              NoneLate(kShellKinds, kShellCount));

// advapi32, user32 and shell32 are KnownDLLs: the loader maps the system's
// copy whatever folder the installer runs from. The library stays loaded for
// the life of the process: the tables point into it.
HMODULE LoadSystemLibrary(const wchar_t* name) {
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

bool BindOsTable(HMODULE module, const OsTable& list) {
    const char* name = list.names;
    for (unsigned i = 0; i < list.count; ++i, name = NameAt(name, 1)) {
        if (list.kinds[i] & kLate) {
            continue;
        }
        ULONG_PTR ordinal = list.kinds[i] >> 2;
        FARPROC found =
            module ? GetProcAddress(module, ordinal ? reinterpret_cast<LPCSTR>(ordinal) : name)
                   : nullptr;
        // A function a Windows version lacks: no stub could answer for it
        // without passing for a success (0 is ERROR_SUCCESS to a registry call).
        if (!found) {
            return false;
        }
        // Every entry is a function pointer, all of one representation.
        CopyMemory(static_cast<BYTE*>(list.table) + i * sizeof(FARPROC), &found, sizeof(found));
    }
    return true;
}

FARPROC BindFromSystem(const wchar_t* library, const char* name) {
    HMODULE module = LoadSystemLibrary(library);
    FARPROC found = module ? GetProcAddress(module, name) : nullptr;
    if (!found) {
        kernel.SetLastError(ERROR_PROC_NOT_FOUND);
    }
    return found;
}

bool BindSystemTables() {
    if (!BindOsTable(GetModuleHandleW(kKernel32Dll), kKernelList)) {
        return false;
    }
    KERNEL32_CALLS(ZRL_KERNEL_LATE)
    USERENV_CALLS(ZRL_USERENV_LATE)
    WTSAPI32_CALLS(ZRL_WTSAPI_LATE)
    return BindOsTable(LoadSystemLibrary(kAdvapiList.library), kAdvapiList) &&
           BindOsTable(LoadSystemLibrary(kUserList.library), kUserList) &&
           BindOsTable(LoadSystemLibrary(kShellList.library), kShellList);
}

void* AllocGlobal(SIZE_T bytes) {
    return reinterpret_cast<void*>(kernel.GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, bytes));
}

void FreeGlobal(void* block) {
    if (block) {
        kernel.GlobalFree(reinterpret_cast<HGLOBAL>(block));
    }
}
