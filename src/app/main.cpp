#include <windows.h>
#include <shellapi.h>

#include "app/entry.h"
#include "core/handles.h"
#include "spooler/winspool_api.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Before any DLL is loaded on demand: only System32 may supply them, never
    // the (often writable) folder the installer was started from.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    moduleInstance = instance;
    if (!BindSpoolerLibraries()) {
        return kExitErrorsLogged;
    }
    int argc = 0;
    // The caller's command line is split again: wWinMain's copy has no argv.
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    UniqueLocal args(reinterpret_cast<HLOCAL>(argv));
    return DispatchCommand(argv ? argc : 0, argv);
}
