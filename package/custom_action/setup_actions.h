// The custom actions of the Windows Installer package (package/Zantorelle.wxs).
// Each deferred one runs zrlsetup.exe with one command word, waits for it and
// turns its exit code into a Windows Installer result, with lines in the MSI
// log that name the exit code.
#pragma once

#include <windows.h>
#include <msi.h>

// A deferred action may not call MsiSetMode: it asks for the restart with this
// global atom, and ZrlRestartCheck, an immediate action after InstallFinalize,
// sets the mode for it.
inline constexpr wchar_t kRestartAtom[] = L"Zantorelle Setup: restart at end";

// CustomActionData of the deferred actions: the installer's full path; for
// ZrlInstall followed by "|Installed|older version found" with the package's
// properties, both empty on a first install.
extern "C" {
UINT __stdcall ZrlRemoveTray(MSIHANDLE install);
UINT __stdcall ZrlInstall(MSIHANDLE install);
UINT __stdcall ZrlUninstall(MSIHANDLE install);
UINT __stdcall ZrlRestartCheck(MSIHANDLE install);
}
