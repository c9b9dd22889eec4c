// The tray program: stopped and its autostart removed before an uninstall,
// registered and started after an install. Neither step logs or reports a
// failure: the tray program is a convenience, never a reason to stop a run.
// The registration says in the run's log when it leaves the start to the
// next logon.
#pragma once

#include "core/install_run.h"

// Names shared with the tray program.
inline constexpr char kTrayMutexName[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
inline constexpr wchar_t kTrayWindowClass[] = L"zvs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
inline constexpr UINT kTrayStopMessage = WM_USER + 2;
inline constexpr char kTrayExeName[] = "zantray.exe";
// The machine-wide autostart entry of the tray program, under HKEY_LOCAL_MACHINE.
inline constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr wchar_t kTrayRunValue[] = L"ZantorelleTray";

// Asks a running tray program to end and waits for it, deletes the executable
// that the autostart value names (unless it is the file `keep` names), and
// removes the value.
void StopTrayCompanion(const wchar_t* keep = nullptr);
// Writes the autostart value for the tray program in the parent folder of the
// installer's folder and starts it without waiting, as the signed-in user.
void RegisterTrayCompanion(InstallRun& run);
// The tray program RegisterTrayCompanion registers: zantray.exe in the parent
// folder of the installer's folder.
void TrayProgramPath(const InstallRun& run, CountedString& path);
