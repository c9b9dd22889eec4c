#include "tray/tray_api.h"

#include <type_traits>

namespace {

constexpr wchar_t kKernel32[] = L"kernel32.dll";
constexpr wchar_t kUserEnv[] = L"userenv.dll";
constexpr wchar_t kWtsApi[] = L"wtsapi32.dll";
constexpr char kCreateEnvironmentBlock[] = "CreateEnvironmentBlock";
constexpr char kDestroyEnvironmentBlock[] = "DestroyEnvironmentBlock";
constexpr char kInitializeAttributes[] = "InitializeProcThreadAttributeList";
constexpr char kUpdateAttribute[] = "UpdateProcThreadAttribute";
constexpr char kDeleteAttributes[] = "DeleteProcThreadAttributeList";
constexpr char kQuerySession[] = "WTSQuerySessionInformationW";
constexpr char kFreeMemory[] = "WTSFreeMemory";

// Binds `Name` of `Library` from System32 when the tray start first calls it,
// and keeps the library loaded. userenv.dll and wtsapi32.dll are no KnownDLLs:
// imported statically, they would be looked for first in the folder the
// elevated installer was started from. The attribute-list calls are Vista's:
// a static import would keep the installer from loading on an older system,
// where it is meant to leave the tray program alone. A function that cannot
// be had fails with ERROR_PROC_NOT_FOUND.
template <const wchar_t* Library, const char* Name, typename F>
struct OnDemand;

template <const wchar_t* Library, const char* Name, typename R, typename... Args>
struct OnDemand<Library, Name, R(WINAPI*)(Args...)> {
    static R WINAPI Call(Args... args) {
        HMODULE module = LoadLibraryExW(Library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        FARPROC found = module ? GetProcAddress(module, Name) : nullptr;
        if (found) {
            return reinterpret_cast<R(WINAPI*)(Args...)>(reinterpret_cast<void*>(found))(args...);
        }
        SetLastError(ERROR_PROC_NOT_FOUND);
        if constexpr (!std::is_void_v<R>) {
            return R{};
        }
    }
};

}  // namespace

TrayApi tray = {
    &::CreateMutexA,
    &::FindWindowW,
    &::PostMessageW,
    &::WaitForSingleObject,
    &::GetVersionExA,
    &::CreateProcessW,
    &::ProcessIdToSessionId,
    &::GetShellWindow,
    &::GetWindowThreadProcessId,
    &::OpenProcess,
    &::OpenProcessToken,
    &::DuplicateTokenEx,
    &::CreateProcessWithTokenW,
    &OnDemand<kUserEnv, kCreateEnvironmentBlock, decltype(TrayApi::CreateEnvironmentBlock)>::Call,
    &OnDemand<kUserEnv, kDestroyEnvironmentBlock, decltype(TrayApi::DestroyEnvironmentBlock)>::Call,
    &OnDemand<kKernel32, kInitializeAttributes,
              decltype(TrayApi::InitializeProcThreadAttributeList)>::Call,
    &OnDemand<kKernel32, kUpdateAttribute, decltype(TrayApi::UpdateProcThreadAttribute)>::Call,
    &OnDemand<kKernel32, kDeleteAttributes, decltype(TrayApi::DeleteProcThreadAttributeList)>::Call,
    &OnDemand<kWtsApi, kQuerySession, decltype(TrayApi::WTSQuerySessionInformationW)>::Call,
    &OnDemand<kWtsApi, kFreeMemory, decltype(TrayApi::WTSFreeMemory)>::Call,
    &::LookupAccountNameW,
    &::GetTokenInformation,
};
