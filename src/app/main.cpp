#include <windows.h>

#include "app/entry.h"
#include "core/handles.h"
#include "core/user_api.h"
#include "spooler/winspool_api.h"
#include "core/kernel_api.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Before any DLL is loaded on demand: only System32 may supply them, never
    // the (often writable) folder the installer was started from.
    kernel.SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    moduleInstance = instance;
    int argc = 0;
    // The caller's command line is split again: wWinMain's copy has no argv.
    wchar_t** argv = shell.CommandLineToArgvW(kernel.GetCommandLineW(), &argc);
    UniqueLocal args(reinterpret_cast<HLOCAL>(argv));
    return DispatchCommand(argv ? argc : 0, argv);
}

// The process starts here, not in the C runtime's start-up code: the
// installer needs nothing that code prepares (no argv, no C++ constructors:
// the OS tables are filled here, first; no atexit, no stdio), and leaving
// it out keeps a sixth of the executable's 64 KiB free. The C runtime DLL
// still serves memcpy and wcsstr: it sets itself up when it is loaded.
extern "C" void __stdcall ZrlStart() {
    // A Windows that lacks a function the installer needs ends it here,
    // before anything was read or changed (the loader refused such a start
    // while the functions were imported).
    int code = BindOsTables() ? wWinMain(GetModuleHandleW(nullptr), nullptr,
                                         kernel.GetCommandLineW(), SW_SHOWDEFAULT)
                              : kExitWindowsLacks;
    // Looked up once more: the tables may be bound only in part.
    auto exitProcess = reinterpret_cast<decltype(&::ExitProcess)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ExitProcess")));
    exitProcess(static_cast<UINT>(code));
}
