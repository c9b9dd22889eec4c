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

// The process starts here, not in the C runtime's start-up code: the
// installer needs nothing that code prepares (no argv, no C++ constructors:
// the OS tables are constant-initialised; no atexit, no stdio), and leaving
// it out keeps a sixth of the executable's 64 KiB free. The C runtime DLL
// still serves memcpy and wcsstr: it sets itself up when it is loaded.
extern "C" void __stdcall ZrlStart() {
    ExitProcess(static_cast<UINT>(
        wWinMain(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), SW_SHOWDEFAULT)));
}
