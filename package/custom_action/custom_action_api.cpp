#include "custom_action_api.h"

CustomActionApi customAction = {
    &::MsiGetPropertyW, &::MsiProcessMessage,   &::MsiSetMode,
    &::CreateProcessW,  &::WaitForSingleObject, &::GetExitCodeProcess,
};
