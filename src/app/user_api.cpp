#include "app/user_api.h"

UserApi user = {
    &::IsWindow,
    &::FindWindowW,
    &::PostMessageW,
    &::DialogBoxParamW,
    &::GetAsyncKeyState,
    &::GetProcessWindowStation,
    &::GetUserObjectInformationW,
    &::ProcessIdToSessionId,
    &::OpenProcessToken,
    &::GetTokenInformation,
    &::CheckTokenMembership,
};
