#include "tray/tray_api.h"

TrayApi tray = {
    &::CreateMutexA,        &::FindWindowW,   &::PostMessageW,
    &::WaitForSingleObject, &::GetVersionExA, &::CreateProcessW,
};
