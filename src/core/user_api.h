// user32 and shell32: the windows of the entry, the log dialog and the tray
// program, and what decides whether the dialog may open at all; bound by
// name at start-up (core/os_tables.h). Tests replace single entries: a
// window station that is not visible, a shell window, a tray program that
// ignores its stop message cannot be had for real under Wine.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include "core/os_tables.h"

#define USER32_CALLS(X)                                           \
    X(IsWindow, kFaulted)                                         \
    X(FindWindowW, kFaulted)                                      \
    X(PostMessageW, kFaulted)                                     \
    X(DialogBoxParamW, kFaulted)                                  \
    X(EndDialog, kFaulted)                                        \
    X(SetDlgItemTextW, kFaulted)                                  \
    X(SetWindowTextW, kFaulted)                                   \
    X(GetAsyncKeyState, kFaulted)                                 \
    X(GetProcessWindowStation, kFaulted)                          \
    X(GetUserObjectInformationW, kFaulted)                        \
    X(GetShellWindow, kFaulted)                                   \
    X(GetWindowThreadProcessId, kFaulted)                         \
    /* Formats with Microsoft's %s, capped at 1024 characters. */ \
    X(wsprintfA, kKept)                                           \
    X(wsprintfW, kKept)                                           \
    X(wvsprintfW, kKept)

#define SHELL32_CALLS(X) X(CommandLineToArgvW, kFaulted)

struct UserApi {
    USER32_CALLS(ZRL_OS_FIELD)
};

struct ShellApi {
    SHELL32_CALLS(ZRL_OS_FIELD)
};

extern UserApi user;
extern ShellApi shell;
