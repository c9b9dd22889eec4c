// Names and numbers of the product: what the installer puts into the spooler,
// what it keeps in the registry, and what it tells its callers. Tests, tools,
// the benchmark and the package's custom actions take them from here.
#pragma once

// A name the ANSI calls take narrow and the wide calls wide: `name` and
// `name`W, both from the one literal.
#define ZRL_NARROW_AND_WIDE(name, text)  \
    inline constexpr char name[] = text; \
    inline constexpr wchar_t name##W[] = L"" text;

// The maker's and the product's keys below HKEY_CURRENT_USER\Software and
// HKEY_LOCAL_MACHINE\SOFTWARE.
#define ZRL_VENDOR_KEY "Dravish Software KFT"
#define ZRL_PRODUCT_KEY ZRL_VENDOR_KEY "\\Zantorelle"

inline constexpr int kBuildNumber = 2026;
// Installed port monitors from this build up to kBuildNumber work with this
// installer and are kept by a reinstall.
inline constexpr int kOldestCompatibleMonitorBuild = 1214;
inline constexpr wchar_t kEnvironment[] = L"Windows x64";
inline constexpr wchar_t kMonitorName[] = L"Zantorelle:";
inline constexpr wchar_t kPortName[] = L"Zantorelle:";
inline constexpr wchar_t kDriverName[] = L"Zantorelle printer";
inline constexpr wchar_t kManufacturer[] = L"Dravish Software Kft.";
inline constexpr wchar_t kMakerUrl[] = L"https://www.dravish-software.example/";
inline constexpr wchar_t kMonitorDll[] = L"zrlmon64.dll";
inline constexpr wchar_t kDriverDll[] = L"zrldrv64.dll";
inline constexpr wchar_t kUiDll[] = L"zrlui64.dll";
inline constexpr wchar_t kHelpFile[] = L"zrlhelp.chm";

// The product's printers: the print processor they are made with, and the name
// of the one printer a reinstall adds when it brought none back.
inline constexpr wchar_t kPrintProcessor[] = L"WinPrint";
inline constexpr wchar_t kFallbackPrinterName[] = L"Zantorelle";
// Each printer names its own settings key, below kProductKey in HKEY_CURRENT_USER,
// by the printer data "SubKey" (plain and under "DsUser"); the ANSI spooler and
// registry calls handle these names.
inline constexpr char kProductKey[] = "Software\\" ZRL_PRODUCT_KEY;
inline constexpr char kSettingsKeyPrefix[] = "Zantorelles\\";
ZRL_NARROW_AND_WIDE(kSubKeyValue, "SubKey")
ZRL_NARROW_AND_WIDE(kDsUserKey, "DsUser")
inline constexpr char kDeletedValue[] = "deleted";

// Paths taken from the system are at most MAX_PATH characters; the buffers
// keep a few characters spare for a separator and the terminator.
inline constexpr unsigned kSystemPathChars = 260;
inline constexpr unsigned kPathBufferChars = 264;

// Printers a reinstall has out of the spooler, under HKEY_LOCAL_MACHINE (see
// src/spooler/printer_journal.h), and the entries an install could not read,
// set aside beside it for an administrator.
inline constexpr wchar_t kJournalKey[] = L"SOFTWARE\\" ZRL_PRODUCT_KEY "\\Printers in transit";
inline constexpr wchar_t kSetAsideKey[] = L"SOFTWARE\\" ZRL_PRODUCT_KEY "\\Printers set aside";
// What printers that came back in part still owe: a later install gives it
// to them, never deleting a printer for it (src/spooler/printer_owed.h).
inline constexpr wchar_t kOwedKey[] = L"SOFTWARE\\" ZRL_PRODUCT_KEY "\\Printers owed";
// Made with the journal when it is first written; deleted after it when empty.
inline constexpr const wchar_t* kJournalParentKeys[] = {L"SOFTWARE\\" ZRL_PRODUCT_KEY,
                                                        L"SOFTWARE\\" ZRL_VENDOR_KEY};

// One install or uninstall at a time on a machine, in the Global namespace: a
// run in another session (a service deploying as SYSTEM, a user at the
// console) is the same machine.
// It lives in a private namespace whose boundary holds the Administrators
// group: no other account can make it first, or open it (CreatePrivateNamespace).
// Where the system has no private namespaces (Wine), it is kRunLockName,
// with an access list for administrators and SYSTEM and its owner checked.
inline constexpr wchar_t kRunLockName[] = L"Global\\Zantorelle Setup run";
inline constexpr wchar_t kRunLockNamespace[] = L"Zantorelle Setup";
inline constexpr wchar_t kRunLockInNamespace[] = L"Zantorelle Setup\\run";

// How long a run waits for another to release the run lock: longer than the
// slowest run takes within its own limits (every tray wait, spooler restart
// and copy retry running out, and the signed-in users' steps of a run as
// SYSTEM, add up to about 6 minutes); the log dialog is
// shown only after the lock is released.
inline constexpr DWORD kRunLockWaitMinutes = 10;
// How long an install or uninstall may take from the moment it holds the run
// lock to the end of its work: well above what its own waits add up to
// (about 6 minutes). The package waits for the installer as long as both
// together, and a margin.
inline constexpr DWORD kRunDeadlineMinutes = 15;
inline constexpr DWORD kRunDeadlineMarginMinutes = 5;

// The event source every install and uninstall run reports to, and its
// registration under HKEY_LOCAL_MACHINE.
inline constexpr wchar_t kEventSource[] = L"Zantorelle Setup";
inline constexpr wchar_t kEventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Zantorelle Setup";

// Where spoolers keep their printers: Windows 8 and later, then earlier
// versions and Wine (public evidence only; see FindSpoolerRecord in
// src/spooler/printer_journal.cpp).
#define ZRL_SPOOLER_PRINTERS_KEY "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers"
inline constexpr const wchar_t* kSpoolerPrinterKeys[] = {
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Printers",
    L"" ZRL_SPOOLER_PRINTERS_KEY};

// The key of the system's pending file-rename operations (MoveFileExW with
// MOVEFILE_DELAY_UNTIL_REBOOT), which the installer and the package read.
ZRL_NARROW_AND_WIDE(kSessionManagerKey, "SYSTEM\\CurrentControlSet\\Control\\Session Manager")

// What the installer tells its caller.
enum ExitCode : int {
    kExitInstalled = 1,
    kExitUninstalled = 2,
    kExitDefaultIsProduct = 3,
    kExitDefaultSet = 4,
    kExitNoCommand = 6,
    kExitTrayRemoved = 6,
    kExitErrorsLogged = 100,
    kExitRebootScheduled = 101,
    kExitDefaultNotProduct = 102,
    // An install, or the "check" command, refused before it changed anything.
    kExitRefused = 103,
    // This Windows lacks a function the installer needs: it ended at start,
    // before it read or changed anything.
    kExitWindowsLacks = 104,
    kExitRebootPending = 200,
};

// Spooler names are the product's only when they match exactly: the same
// characters in the same case, the whole string, no locale (lstrcmpW would
// take a user's collation). A missing name never matches.
inline bool SameSpoolerName(const wchar_t* name, const wchar_t* wanted) {
    if (!name || !wanted) {
        return false;
    }
    while (*name && *name == *wanted) {
        ++name;
        ++wanted;
    }
    return *name == *wanted;
}

// A printer is the product's when it uses the product's driver.
inline bool IsProductDriver(const wchar_t* driverName) {
    return SameSpoolerName(driverName, kDriverName);
}
