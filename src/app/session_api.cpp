#include "app/session_api.h"

#include "core/on_demand.h"

namespace {

constexpr char kEnumerateSessions[] = "WTSEnumerateSessionsW";
constexpr char kQueryUserToken[] = "WTSQueryUserToken";

}  // namespace

SessionApi sessions = {
    &OnDemand<kWtsApi, kEnumerateSessions, decltype(SessionApi::WTSEnumerateSessionsW)>::Call,
    &OnDemand<kWtsApi, kWtsFreeMemory, decltype(SessionApi::WTSFreeMemory)>::Call,
    &OnDemand<kWtsApi, kQueryUserToken, decltype(SessionApi::WTSQueryUserToken)>::Call,
    &OnDemand<kUserEnv, kCreateEnvironmentBlock,
              decltype(SessionApi::CreateEnvironmentBlock)>::Call,
    &OnDemand<kUserEnv, kDestroyEnvironmentBlock,
              decltype(SessionApi::DestroyEnvironmentBlock)>::Call,
    &::CreateProcessAsUserW,
    &::WaitForSingleObject,
    &::GetExitCodeProcess,
    &::TerminateProcess,
};
