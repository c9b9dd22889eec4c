#include "tray/tray_api.h"

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
};
