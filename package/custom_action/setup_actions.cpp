#include "setup_actions.h"

#include <msiquery.h>
#include <stdlib.h>

#include <winspool.h>

#include "core/handles.h"
#include "core/product.h"

namespace {

// The files a run may leave for deletion at the next restart: the monitor DLL
// in the system folder, the driver's staged copies in the driver folder.
constexpr const wchar_t* kLeftoverNames[] = {kMonitorDll, kDriverDll, kUiDll, kHelpFile};

// The file-name part of a pending source, after an object-manager prefix.
const wchar_t* FileNamePart(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p) {
        if (*p == L'\\' || *p == L'/' || *p == L':') {
            name = p + 1;
        }
    }
    return name;
}

// Pairs of strings, a source and its target; an empty target is a deletion.
// Only a source that is still there waits for the restart.
bool PendingDeletionOfProductFile(const wchar_t* value, DWORD chars) {
    const wchar_t* end = value + chars;
    for (const wchar_t* source = value; source < end && *source;) {
        const wchar_t* target = source + lstrlenW(source) + 1;
        if (target >= end) {
            break;
        }
        const wchar_t* path =
            source[0] == L'\\' && source[1] == L'?' && source[2] == L'?' && source[3] == L'\\'
                ? source + 4
                : source;
        for (const wchar_t* name : kLeftoverNames) {
            if (*target == 0 &&
                CompareStringOrdinal(FileNamePart(path), -1, name, -1, TRUE) == CSTR_EQUAL &&
                GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
                return true;
            }
        }
        source = target + lstrlenW(target) + 1;
    }
    return false;
}

// The installer's path (Program Files, well below MAX_PATH) and two properties:
// a date and a product code or two.
constexpr DWORD kDataChars = 1024;
constexpr wchar_t kSeparator = L'|';
// How long a run of the installer may take before it is ended (its wait for
// another run, its deadline, a margin), and how long its end may take then.
constexpr DWORD kWaitMinutes =
    kRunLockWaitMinutes + kRunDeadlineMinutes + kRunDeadlineMarginMinutes;
constexpr DWORD kEndMs = 10 * 1000;

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
constexpr wchar_t kHeldLine[] =
    L"Zantorelle: the first install failed; the product's journal of printers, driver or port "
    L"monitor was there before it, so nothing is removed.";
constexpr wchar_t kRefusedLine[] =
    L"Zantorelle: the installer refused the install before it changed anything; the event log "
    L"says why.";
constexpr wchar_t kTimedOutLine[] =
    L"Zantorelle: \"[1]\" [2] did not end within [3] minutes; it was ended.";
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
    run.started = true;
    // The installer ends its own runs at its deadline; one that is still there
    // a margin later is stuck where it cannot end itself, and must not hold
    // Windows Installer (and every other install on the machine) for ever.
    if (WaitForSingleObject(child.Get(), kWaitMinutes * 60 * 1000) == WAIT_TIMEOUT) {
        TerminateProcess(child.Get(), kExitErrorsLogged);
        WaitForSingleObject(child.Get(), kEndMs);
        run.code = kExitErrorsLogged;
        Log(install, kTimedOutLine, path, command, kWaitMinutes);
        return run;
    }
    // A code that cannot be read stays 0, which no command returns.
    GetExitCodeProcess(child.Get(), &run.code);
    Log(install, kEndedLine, path, command, run.code);
    return run;
}

// What a spooler enumeration gives, in a heap block the caller frees; null
// when there is nothing or the call fails.
template <typename Enumerate>
BYTE* SpoolerList(Enumerate enumerate, DWORD& count) {
    DWORD needed = 0;
    count = 0;
    if (enumerate(nullptr, 0, &needed, &count) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return nullptr;
    }
    auto* block = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
    if (block && !enumerate(block, needed, &needed, &count)) {
        HeapFree(GetProcessHeap(), 0, block);
        return nullptr;
    }
    return block;
}

template <typename Info, typename Enumerate>
bool Listed(Enumerate enumerate, wchar_t* Info::*field, const wchar_t* wanted) {
    DWORD count = 0;
    BYTE* block = SpoolerList(enumerate, count);
    bool listed = false;
    for (DWORD i = 0; block && i < count && !listed; ++i) {
        listed = SameSpoolerName(reinterpret_cast<Info*>(block)[i].*field, wanted);
    }
    HeapFree(GetProcessHeap(), 0, block);
    return listed;
}

template <typename F>
F Export(HMODULE module, const char* name) {
    return reinterpret_cast<F>(
        reinterpret_cast<void*>(module ? GetProcAddress(module, name) : nullptr));
}

bool JournalHoldsPrinters() {
    UniqueKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kJournalKey, 0, KEY_QUERY_VALUE, key.Put()) ==
           ERROR_SUCCESS;
}

enum class HeldBefore { Nothing, Printers, Product };

// What of the product a spooler held before the package's first install came
// from another setup of the product (an earlier installer, a copy run by
// hand, an earlier reinstall with printers in its journal): a failed install
// must not take it away with what it added. The spooler's library is loaded
// from System32 only, as the installer does.
HeldBefore ProductHeldBefore() {
    UniqueModule spooler(LoadLibraryExW(L"winspool.drv", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    auto enumPrinters = Export<decltype(&::EnumPrintersW)>(spooler.Get(), "EnumPrintersW");
    auto enumDrivers =
        Export<decltype(&::EnumPrinterDriversW)>(spooler.Get(), "EnumPrinterDriversW");
    auto enumMonitors = Export<decltype(&::EnumMonitorsW)>(spooler.Get(), "EnumMonitorsW");
    if (!enumPrinters || !enumDrivers || !enumMonitors) {
        return HeldBefore::Nothing;
    }
    auto printers = [&](BYTE* b, DWORD size, DWORD* needed, DWORD* count) {
        return enumPrinters(PRINTER_ENUM_LOCAL, nullptr, 2, b, size, needed, count);
    };
    if (Listed<PRINTER_INFO_2W>(printers, &PRINTER_INFO_2W::pDriverName, kDriverName)) {
        return HeldBefore::Printers;
    }
    auto drivers = [&](BYTE* b, DWORD size, DWORD* needed, DWORD* count) {
        return enumDrivers(nullptr, const_cast<LPWSTR>(kEnvironment), 1, b, size, needed, count);
    };
    auto monitors = [&](BYTE* b, DWORD size, DWORD* needed, DWORD* count) {
        return enumMonitors(nullptr, 1, b, size, needed, count);
    };
    bool held = JournalHoldsPrinters() ||
                Listed<DRIVER_INFO_1W>(drivers, &DRIVER_INFO_1W::pName, kDriverName) ||
                Listed<MONITOR_INFO_1W>(monitors, &MONITOR_INFO_1W::pName, kMonitorName);
    return held ? HeldBefore::Product : HeldBefore::Nothing;
}

// The product's files a run of the installer left to be deleted at the next
// restart (what its exit code 101 means) are still in the system's pending
// file-rename operations: a restart is due while one of them is, whichever
// action or earlier run scheduled it, and is not while none is.
bool ProductFilesPendingDeletion() {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKeyW, 0, KEY_QUERY_VALUE, key.Put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD bytes = 0;
    LSTATUS status = RegQueryValueExW(key.Get(), L"PendingFileRenameOperations", nullptr, nullptr,
                                      nullptr, &bytes);
    HANDLE heap = GetProcessHeap();
    // Two characters more: a value need not end as REG_MULTI_SZ should.
    auto* value = static_cast<wchar_t*>(
        status == ERROR_SUCCESS ? HeapAlloc(heap, HEAP_ZERO_MEMORY, bytes + 4) : nullptr);
    bool pending = value &&
                   RegQueryValueExW(key.Get(), L"PendingFileRenameOperations", nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(value), &bytes) == ERROR_SUCCESS &&
                   PendingDeletionOfProductFile(value, bytes / sizeof(wchar_t));
    HeapFree(heap, 0, value);
    return pending;
}

enum class Outcome { Succeeded, Failed, Refused, NotStarted };

// Runs one command: its own success code or 101, which asks for a restart at
// the end, succeed; any other code points the reader to the run's log.
Outcome RunCommand(MSIHANDLE install, const wchar_t* path, const wchar_t* command, DWORD success) {
    SetupRun run = RunSetup(install, path, command);
    if (!run.started) {
        return Outcome::NotStarted;
    }
    if (run.code == kExitRebootScheduled) {
        Log(install, kRestartLine);
        return Outcome::Succeeded;
    }
    if (run.code == kExitRefused) {
        Log(install, kRefusedLine);
        return Outcome::Refused;
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
    HeldBefore before = data.firstInstall ? ProductHeldBefore() : HeldBefore::Nothing;
    Outcome outcome = RunCommand(install, data.setupPath, L"install", kExitInstalled);
    // Windows Installer takes back the files but knows nothing of the spooler.
    // Only a first install into a spooler without anything of the product may
    // clean up: after a repair or an upgrade the printers there are the user's.
    // A refused install changed nothing: there is nothing to clean up.
    if (outcome == Outcome::Failed && data.firstInstall) {
        const wchar_t* line = before == HeldBefore::Printers  ? kKeptLine
                              : before == HeldBefore::Product ? kHeldLine
                                                              : kTakeBackLine;
        Log(install, line);
        if (before == HeldBefore::Nothing) {
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
    if (ProductFilesPendingDeletion()) {
        MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    }
    return ERROR_SUCCESS;
}
