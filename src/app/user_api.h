// The window calls of the entry and the log dialog, and what decides whether
// the dialog may open at all, filled with the real functions at start-up;
// tests replace single entries (a window station that is not visible, a
// service account or session 0 cannot be produced for real under Wine).
#pragma once

#include <windows.h>

struct UserApi {
    decltype(&::IsWindow) IsWindow;
    decltype(&::FindWindowW) FindWindowW;
    decltype(&::PostMessageW) PostMessageW;
    decltype(&::DialogBoxParamW) DialogBoxParamW;
    decltype(&::GetAsyncKeyState) GetAsyncKeyState;
    decltype(&::GetProcessWindowStation) GetProcessWindowStation;
    decltype(&::GetUserObjectInformationW) GetUserObjectInformationW;
    // Who runs the installer and where: Wine has one user in session 1 and no
    // SYSTEM account or session 0.
    decltype(&::ProcessIdToSessionId) ProcessIdToSessionId;
    decltype(&::OpenProcessToken) OpenProcessToken;
    decltype(&::GetTokenInformation) GetTokenInformation;
    decltype(&::CheckTokenMembership) CheckTokenMembership;
};

extern UserApi user;
