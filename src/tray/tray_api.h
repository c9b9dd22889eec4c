// The calls through which the installer reaches the tray program, filled with
// the real functions (a few bound from System32 when first called, see
// tray_api.cpp); tests replace single entries. Under Wine a
// tray program that ignores its stop message, an old Windows version or a
// mutex that cannot be created are not available for real.
#pragma once

#include <windows.h>
#include <userenv.h>
#include <wtsapi32.h>

#include "core/handles.h"

struct TrayApi {
    decltype(&::CreateMutexA) CreateMutexA;
    decltype(&::FindWindowW) FindWindowW;
    decltype(&::PostMessageW) PostMessageW;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::GetVersionExA) GetVersionExA;
    decltype(&::CreateProcessW) CreateProcessW;
    // The tray program runs as the signed-in user, unelevated: a session
    // without a desktop (0) and the shell's owner cannot be had for real under
    // Wine, which has neither session 0 nor a shell window.
    decltype(&::ProcessIdToSessionId) ProcessIdToSessionId;
    decltype(&::GetShellWindow) GetShellWindow;
    decltype(&::GetWindowThreadProcessId) GetWindowThreadProcessId;
    decltype(&::OpenProcess) OpenProcess;
    decltype(&::OpenProcessToken) OpenProcessToken;
    decltype(&::DuplicateTokenEx) DuplicateTokenEx;
    decltype(&::CreateProcessWithTokenW) CreateProcessWithTokenW;
    // A start as a child of the shell's process, with its user's environment.
    decltype(&::CreateEnvironmentBlock) CreateEnvironmentBlock;
    decltype(&::DestroyEnvironmentBlock) DestroyEnvironmentBlock;
    decltype(&::InitializeProcThreadAttributeList) InitializeProcThreadAttributeList;
    decltype(&::UpdateProcThreadAttribute) UpdateProcThreadAttribute;
    decltype(&::DeleteProcThreadAttributeList) DeleteProcThreadAttributeList;
    // Who is signed in to the installer's session, and who the installer is:
    // Wine has one user, and neither another account nor SYSTEM can be had.
    decltype(&::WTSQuerySessionInformationW) WTSQuerySessionInformationW;
    decltype(&::WTSFreeMemory) WTSFreeMemory;
    decltype(&::LookupAccountNameW) LookupAccountNameW;
    decltype(&::GetTokenInformation) GetTokenInformation;
};

extern TrayApi tray;

namespace tray_detail {
inline void FreeWtsMemory(LPWSTR text) {
    tray.WTSFreeMemory(text);
}
inline void FreeEnvironment(void* block) {
    tray.DestroyEnvironmentBlock(block);
}
}  // namespace tray_detail

using UniqueWtsText = Unique<LPWSTR, &tray_detail::FreeWtsMemory>;
using UniqueEnvironment = Unique<void*, &tray_detail::FreeEnvironment>;
