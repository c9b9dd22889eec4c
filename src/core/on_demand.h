// Functions of DLLs that are no KnownDLLs, bound from System32 when first
// called. Imported statically, userenv.dll or wtsapi32.dll would be looked for
// first in the folder the elevated installer was started from; and a function
// a Windows version lacks would keep the installer from loading at all.
#pragma once

#include <windows.h>

#include <type_traits>

inline constexpr wchar_t kKernel32[] = L"kernel32.dll";
inline constexpr wchar_t kUserEnv[] = L"userenv.dll";
inline constexpr wchar_t kWtsApi[] = L"wtsapi32.dll";
// Names that more than one table binds: one function each.
inline constexpr char kCreateEnvironmentBlock[] = "CreateEnvironmentBlock";
inline constexpr char kDestroyEnvironmentBlock[] = "DestroyEnvironmentBlock";
inline constexpr char kWtsFreeMemory[] = "WTSFreeMemory";

// `name` of `library`, from System32 (the library stays loaded); null, with
// ERROR_PROC_NOT_FOUND, when it cannot be had.
FARPROC BindFromSystem(const wchar_t* library, const char* name);

// `Call` binds `Name` of `Library` each time and calls it; a function that
// cannot be had fails with ERROR_PROC_NOT_FOUND.
template <const wchar_t* Library, const char* Name, typename F>
struct OnDemand;

template <const wchar_t* Library, const char* Name, typename R, typename... Args>
struct OnDemand<Library, Name, R(WINAPI*)(Args...)> {
    static R WINAPI Call(Args... args) {
        FARPROC found = BindFromSystem(Library, Name);
        if (found) {
            return reinterpret_cast<R(WINAPI*)(Args...)>(reinterpret_cast<void*>(found))(args...);
        }
        if constexpr (!std::is_void_v<R>) {
            return R{};
        }
    }
};
