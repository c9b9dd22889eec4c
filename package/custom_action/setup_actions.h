// The custom actions of the Windows Installer package (package/Zantorelle.wxs).
// Each deferred one runs zrlsetup.exe with one command word, waits for it and
// turns its exit code into a Windows Installer result, with lines in the MSI
// log that name the exit code.
#pragma once

#include <windows.h>
#include <msi.h>

// A deferred action may not call MsiSetMode: ZrlRestartCheck, an immediate
// action after InstallFinalize, asks for the restart when the product's files
// wait for one in the system's pending file-rename operations, which is what
// the installer's exit code 101 means.

// CustomActionData of the deferred actions: the installer's full path; for
// ZrlInstall followed by "|Installed|older version found" with the package's
// properties, both empty on a first install.
extern "C" {
UINT __stdcall ZrlRemoveTray(MSIHANDLE install);
UINT __stdcall ZrlInstall(MSIHANDLE install);
UINT __stdcall ZrlUninstall(MSIHANDLE install);
UINT __stdcall ZrlRestartCheck(MSIHANDLE install);
}
