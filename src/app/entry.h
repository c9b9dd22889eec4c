// The process entry: command words, the owner window and the exit codes.
#pragma once

#include <windows.h>

#include "core/product.h"

// The module instance the system passed to the entry. The log dialog is
// loaded from it and set-up finds the installer's own path with it.
extern HINSTANCE moduleInstance;

enum class Command {
    None,
    StartupCheck,
    Uninstall,
    RemoveTray,
    Install,
    DefaultPrinter,
    Check,
    // The internal steps a run as SYSTEM starts as each signed-in user.
    UserDefaultStep,
    UserRestoreStep,
};

Command MatchCommand(const wchar_t* word);
// Signed decimal window handle, clamped to 32 bits; null unless it names a window.
HWND ParseParentWindow(const wchar_t* text);
// Carries out the command of a split command line (argument 0 is the program).
int DispatchCommand(int argc, wchar_t** argv);
// Asks every open help viewer of the product to close.
void CloseHelpWindows();
