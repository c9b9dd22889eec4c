// The window calls of the entry and the log dialog, filled with the real
// functions at start-up; tests replace single entries (a window station that
// is not visible cannot be produced for real under Wine).
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
};

extern UserApi user;
