// The calls of the package's custom actions whose outcomes tests must choose:
// the installer's start, wait and exit code, and what Windows Installer is
// told. Filled with the real functions; a test replaces one entry for one scope.
#pragma once

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

struct CustomActionApi {
    decltype(&::MsiGetPropertyW) MsiGetPropertyW;
    decltype(&::MsiProcessMessage) MsiProcessMessage;
    decltype(&::MsiSetMode) MsiSetMode;
    decltype(&::CreateProcessW) CreateProcessW;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::GetExitCodeProcess) GetExitCodeProcess;
};

extern CustomActionApi customAction;
