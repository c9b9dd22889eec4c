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
};

extern TrayApi tray;
