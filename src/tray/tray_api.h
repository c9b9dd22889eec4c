// The calls through which the installer reaches the tray program, filled with
// the real functions at start-up; tests replace single entries. Under Wine a
// tray program that ignores its stop message, an old Windows version or a
// mutex that cannot be created are not available for real.
#pragma once

#include <windows.h>

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
};

extern TrayApi tray;
