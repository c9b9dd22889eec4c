#include "tray/tray_api.h"

#include "core/on_demand.h"

namespace {

constexpr char kInitializeAttributes[] = "InitializeProcThreadAttributeList";
constexpr char kUpdateAttribute[] = "UpdateProcThreadAttribute";
constexpr char kDeleteAttributes[] = "DeleteProcThreadAttributeList";
constexpr char kQuerySession[] = "WTSQuerySessionInformationW";

}  // namespace

// userenv.dll and wtsapi32.dll are bound when the tray start first calls them
// (core/on_demand.h). The attribute-list calls are Vista's: a static import
// would keep the installer from loading on an older system, where it is meant
// to leave the tray program alone.

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
    &OnDemand<kWtsApi, kWtsFreeMemory, decltype(TrayApi::WTSFreeMemory)>::Call,
    &::LookupAccountNameW,
    &::GetTokenInformation,
};
