#include "setup_actions.h"

#include <msiquery.h>
#include <stdlib.h>

#include <winspool.h>

#include "core/handles.h"
#include "core/product.h"

namespace {

using UniqueHandle = Unique<HANDLE, &handles_detail::CloseFile>;

// The installer's path (Program Files, well below MAX_PATH) and two properties:
// a date and a product code or two.
constexpr DWORD kDataChars = 1024;
constexpr wchar_t kSeparator = L'|';

// Windows Installer reads field 0 as a template: paths and numbers go into
// fields, so that brackets in them are never taken for properties.
constexpr wchar_t kEndedLine[] = L"Zantorelle: \"[1]\" [2] ended with exit code [3].";
constexpr wchar_t kNotStartedLine[] = L"Zantorelle: \"[1]\" [2] could not be started (error [3]).";
constexpr wchar_t kEventLogLine[] =
    L"Zantorelle: the installer wrote the log of this run to the Windows Application event log "
    L"(source \"Zantorelle Setup\").";
constexpr wchar_t kTakeBackLine[] =
    L"Zantorelle: the first install failed; what it left in the spooler is removed.";
constexpr wchar_t kKeptLine[] =
    L"Zantorelle: the first install failed; the spooler held the product's printers before it, "
    L"so nothing is removed.";
constexpr wchar_t kRemovedAnywayLine[] = L"Zantorelle: the product is removed anyway.";
constexpr wchar_t kRestartLine[] =
    L"Zantorelle: files are deleted at the next restart; a restart is requested.";

struct ActionData {
    wchar_t setupPath[kDataChars];
    bool firstInstall;
};

struct SetupRun {
    bool started;
    DWORD code;  // the exit code, or why the start failed
};

bool OnlySeparators(const wchar_t* text) {
    for (; *text; ++text) {
        if (*text != kSeparator) {
            return false;
        }
    }
    return true;
}

// An empty path (no data) fails to start and is logged as such.
ActionData ReadActionData(MSIHANDLE install) {
    ActionData data = {};
    DWORD chars = kDataChars;
    if (MsiGetPropertyW(install, L"CustomActionData", data.setupPath, &chars) != ERROR_SUCCESS) {
        data.setupPath[0] = 0;
        return data;
    }
    wchar_t* rest = data.setupPath;
    while (*rest && *rest != kSeparator) {
        ++rest;
    }
    // Without the properties nothing says this is a first install.
    if (*rest) {
        *rest++ = 0;
        data.firstInstall = OnlySeparators(rest);
    }
    return data;
}

void Log(MSIHANDLE install, const wchar_t* line, const wchar_t* path = L"",
         const wchar_t* command = L"", DWORD number = 0) {
    MSIHANDLE record = MsiCreateRecord(3);
    if (!record) {
        return;
    }
    wchar_t decimal[12];
    _ultow(number, decimal, 10);
    MsiRecordSetStringW(record, 0, line);
    MsiRecordSetStringW(record, 1, path);
    MsiRecordSetStringW(record, 2, command);
    MsiRecordSetStringW(record, 3, decimal);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

SetupRun RunSetup(MSIHANDLE install, const wchar_t* path, const wchar_t* command) {
    SetupRun run = {};
    // The path is shorter than kDataChars, a command word a few letters; and
    // CreateProcessW may write into the command line.
    wchar_t commandLine[kDataChars + 16];
    lstrcpyW(commandLine, L"\"");
    lstrcatW(commandLine, path);
    lstrcatW(commandLine, L"\" ");
    lstrcatW(commandLine, command);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // The full path as the application name: no search path is used, so
    // nothing planted in msiexec's folders can stand in for the installer.
    if (!CreateProcessW(path, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        run.code = GetLastError();
        Log(install, kNotStartedLine, path, command, run.code);
        return run;
    }
    UniqueHandle thread(process.hThread);
    UniqueHandle child(process.hProcess);
    WaitForSingleObject(child.Get(), INFINITE);
    // A code that cannot be read stays 0, which no command returns.
    GetExitCodeProcess(child.Get(), &run.code);
    run.started = true;
    Log(install, kEndedLine, path, command, run.code);
    return run;
}

// Product printers in the spooler before the package's first install came
// from another setup of the product (an earlier installer, a copy run by
// hand): a failed install must not take them away with what it added. The
// spooler's library is loaded from System32 only, as the installer does.
bool SpoolerHoldsProductPrinters() {
    UniqueModule spooler(LoadLibraryExW(L"winspool.drv", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    auto enumPrinters = reinterpret_cast<decltype(&::EnumPrintersW)>(reinterpret_cast<void*>(
        spooler ? GetProcAddress(spooler.Get(), "EnumPrintersW") : nullptr));
    DWORD needed = 0;
    DWORD count = 0;
    if (!enumPrinters ||
        enumPrinters(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    HANDLE heap = GetProcessHeap();
    auto* printers = static_cast<PRINTER_INFO_2W*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, needed));
    bool held = false;
    if (printers && enumPrinters(PRINTER_ENUM_LOCAL, nullptr, 2, reinterpret_cast<BYTE*>(printers),
                                 needed, &needed, &count)) {
        for (DWORD i = 0; i < count && !held; ++i) {
            held = IsProductDriver(printers[i].pDriverName);
        }
    }
    HeapFree(heap, 0, printers);
    return held;
}

enum class Outcome { Succeeded, Failed, NotStarted };

// Runs one command: its own success code or 101, which asks for a restart at
// the end, succeed; any other code points the reader to the run's log.
Outcome RunCommand(MSIHANDLE install, const wchar_t* path, const wchar_t* command, DWORD success) {
    SetupRun run = RunSetup(install, path, command);
    if (!run.started) {
        return Outcome::NotStarted;
    }
    if (run.code == kExitRebootScheduled) {
        Log(install, kRestartLine);
        GlobalAddAtomW(kRestartAtom);
        return Outcome::Succeeded;
    }
    if (run.code != success) {
        Log(install, kEventLogLine);
        return Outcome::Failed;
    }
    return Outcome::Succeeded;
}

}  // namespace

extern "C" UINT __stdcall ZrlRemoveTray(MSIHANDLE install) {
    ActionData data = ReadActionData(install);
    // "removetray" always exits 6; a tray program still running only makes
    // Windows Installer replace its file at the next restart.
    RunSetup(install, data.setupPath, L"removetray");
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall ZrlInstall(MSIHANDLE install) {
    ActionData data = ReadActionData(install);
    bool printersBefore = data.firstInstall && SpoolerHoldsProductPrinters();
    Outcome outcome = RunCommand(install, data.setupPath, L"install", kExitInstalled);
    // Windows Installer takes back the files but knows nothing of the spooler.
    // Only a first install into a spooler without the product's printers may
    // clean up: after a repair or an upgrade the printers there are the user's.
    if (outcome == Outcome::Failed && data.firstInstall) {
        Log(install, printersBefore ? kKeptLine : kTakeBackLine);
        if (!printersBefore) {
            RunSetup(install, data.setupPath, L"uninstall");
        }
    }
    return outcome == Outcome::Succeeded ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

extern "C" UINT __stdcall ZrlUninstall(MSIHANDLE install) {
    ActionData data = ReadActionData(install);
    // A product must always be removable, whatever its installer reports.
    if (RunCommand(install, data.setupPath, L"uninstall", kExitUninstalled) != Outcome::Succeeded) {
        Log(install, kRemovedAnywayLine);
    }
    return ERROR_SUCCESS;
}

extern "C" UINT __stdcall ZrlRestartCheck(MSIHANDLE install) {
    ATOM atom = GlobalFindAtomW(kRestartAtom);
    if (atom) {
        GlobalDeleteAtom(atom);
        MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    }
    return ERROR_SUCCESS;
}
