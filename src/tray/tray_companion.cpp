#include "tray/tray_companion.h"

#include "core/counted_string.h"
#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/run_log.h"
#include "core/session_api.h"
#include "core/advapi_api.h"
#include "core/user_api.h"

namespace {

constexpr int kMaxStopAttempts = 20;
constexpr DWORD kMutexWaitMs = 5000;
constexpr DWORD kNoWindowPauseMs = 250;
constexpr DWORD kNoRunValuePauseMs = 1000;
constexpr int kMaxDeleteTries = 10;
constexpr DWORD kAccessDeniedPauseMs = 100;
constexpr DWORD kOtherErrorPauseMs = 10;
// The command line holds the path cut to MAX_PATH - 1 characters in quotes.
constexpr SIZE_T kMaxCommandPathChars = MAX_PATH - 1;
// An attribute list of one attribute; InitializeProcThreadAttributeList says
// when it needs more.
constexpr SIZE_T kAttributeListBytes = 128;
// An account's or a domain's name, as LookupAccountNameW takes it.
constexpr DWORD kAccountNameChars = 256;

// The tray program ends when its window gets the stop message and releases
// the mutex as it goes; a window that is gone after a message was posted
// means the program is on its way out.
void AskTrayToEnd(HANDLE mutex) {
    bool posted = false;
    for (int attempt = 0; attempt < kMaxStopAttempts; ++attempt) {
        HWND window = user.FindWindowW(kTrayWindowClass, nullptr);
        if (window) {
            user.PostMessageW(window, kTrayStopMessage, 0, 0);
            posted = true;
            if (kernel.WaitForSingleObject(mutex, kMutexWaitMs) == WAIT_OBJECT_0) {
                return;
            }
        } else if (posted) {
            kernel.WaitForSingleObject(mutex, kMutexWaitMs);
            return;
        } else {
            kernel.Sleep(kNoWindowPauseMs);
        }
    }
    if (posted) {
        kernel.WaitForSingleObject(mutex, kMutexWaitMs);
    }
}

// A program that is still going away holds its executable: access is denied
// until the process has ended.
void DeleteWithRetries(const wchar_t* path) {
    for (int i = 0; i < kMaxDeleteTries; ++i) {
        if (kernel.DeleteFileW(path)) {
            return;
        }
        DWORD code = kernel.GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            return;
        }
        kernel.Sleep(code == ERROR_ACCESS_DENIED ? kAccessDeniedPauseMs : kOtherErrorPauseMs);
    }
}

// The same file whatever the spelling (letter case, short names, "..",
// links): the file system's own identity of both. A file that does not open
// is not one to keep.
bool SameFile(const wchar_t* a, const wchar_t* b) {
    BY_HANDLE_FILE_INFORMATION identity[2] = {};
    const wchar_t* paths[] = {a, b};
    for (int i = 0; i < 2; ++i) {
        UniqueFile file(
            kernel.CreateFileW(paths[i], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!file || !kernel.GetFileInformationByHandle(file.Get(), &identity[i])) {
            return false;
        }
    }
    return identity[0].dwVolumeSerialNumber == identity[1].dwVolumeSerialNumber &&
           identity[0].nFileIndexHigh == identity[1].nFileIndexHigh &&
           identity[0].nFileIndexLow == identity[1].nFileIndexLow;
}

void DeleteRegisteredTray(HKEY runKey, const wchar_t* keep) {
    // RegQueryValueExW does not add a terminator to data stored without one:
    // the character after the MAX_PATH the call may fill stays zero.
    wchar_t path[MAX_PATH + 1] = {};
    DWORD bytes = MAX_PATH * sizeof(wchar_t);
    if (advapi.RegQueryValueExW(runKey, kTrayRunValue, nullptr, nullptr,
                                reinterpret_cast<BYTE*>(path), &bytes) != ERROR_SUCCESS) {
        kernel.Sleep(kNoRunValuePauseMs);
        return;
    }
    if (path[0] && !(keep && SameFile(path, keep))) {
        DeleteWithRetries(path);
    }
}

// Empty when the key cannot be opened.
UniqueKey OpenRunKey() {
    UniqueKey key;
    if (advapi.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_ALL_ACCESS, key.Put()) !=
        ERROR_SUCCESS) {
        key.Release();
    }
    return key;
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

wchar_t LastChar(CountedString s) {
    SIZE_T n = CountedLength(s);
    return n ? CountedChars(s)[n - 1] : 0;
}

}  // namespace

// The tray program lives in the parent folder of the installer's folder.
void TrayProgramPath(const InstallRun& run, CountedString& path) {
    CopyCountedString(path, run.sourceDir);
    SIZE_T length = CountedLength(path);
    if (length && IsSeparator(LastChar(path))) {
        ResizeCountedString(path, length - 1);
    }
    CountedString parent = {};
    CountedStringDirectoryPart(path, parent);
    FreeCountedString(path);
    path = parent;
    if (CountedLength(path) && !IsSeparator(LastChar(path))) {
        AppendCountedString(path, L"\\");
    }
    CountedString name = {};
    CountedStringFromAnsi(name, kTrayExeName);
    AppendCountedString(path, CountedText(name));
    FreeCountedString(name);
}

namespace {

// Without memory for the name the path names a folder, and a folder in the
// Run key opens a window at every logon.
bool NamesTrayProgram(const CountedString& path) {
    SIZE_T nameLength = sizeof(kTrayExeName) - 1;
    SIZE_T length = CountedLength(path);
    if (length < nameLength) {
        return false;
    }
    const wchar_t* tail = CountedChars(path) + length - nameLength;
    for (SIZE_T i = 0; i < nameLength; ++i) {
        if (tail[i] != static_cast<wchar_t>(kTrayExeName[i])) {
            return false;
        }
    }
    return true;
}

bool IsVistaOrLater() {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!kernel.GetVersionExA(&version)) {
        return false;
    }
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 6;
}

bool WriteRunValue(const CountedString& path) {
    UniqueKey key = OpenRunKey();
    if (!key) {
        return false;
    }
    DWORD bytes = static_cast<DWORD>((CountedLength(path) + 1) * sizeof(wchar_t));
    return advapi.RegSetValueExW(key.Get(), kTrayRunValue, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(CountedText(path)),
                                 bytes) == ERROR_SUCCESS;
}

// The signed-in user's token, from the process that owns the shell window, and
// that process's id: the installer runs elevated, perhaps as another
// administrator than that user, and a copy of its own token with rights
// removed would still be the wrong user's. Empty without a shell window or
// when any step is refused.
UniqueHandle ShellUserToken(DWORD& pid) {
    UniqueHandle primary;
    HWND shell = user.GetShellWindow();
    if (!shell || !user.GetWindowThreadProcessId(shell, &pid)) {
        return primary;
    }
    UniqueHandle process(kernel.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    UniqueHandle token;
    if (!process || !advapi.OpenProcessToken(process.Get(), TOKEN_DUPLICATE, token.Put())) {
        token.Release();
        return primary;
    }
    constexpr DWORD kAccess = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY |
                              TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID;
    // A failed call does not promise to leave the handle alone.
    if (!advapi.DuplicateTokenEx(token.Get(), kAccess, nullptr, SecurityImpersonation, TokenPrimary,
                                 primary.Put())) {
        primary.Release();
    }
    return primary;
}

// A process made with the shell's process as its parent gets its token from
// that process (PROC_THREAD_ATTRIBUTE_PARENT_PROCESS), and needs neither the
// Secondary Logon service nor a privilege. Its environment would still be
// the installer's, another account's profile: it gets the user's own.
bool StartAsShellChild(HANDLE token, DWORD pid, wchar_t* commandLine, const STARTUPINFOW& startup,
                       PROCESS_INFORMATION& process) {
    UniqueHandle shell(kernel.OpenProcess(PROCESS_CREATE_PROCESS, FALSE, pid));
    UniqueEnvironment environment;
    if (!shell || !userenv.CreateEnvironmentBlock(environment.Put(), token, FALSE)) {
        return false;
    }
    alignas(8) BYTE block[kAttributeListBytes];
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(block);
    SIZE_T bytes = sizeof(block);
    if (!kernel.InitializeProcThreadAttributeList(list, 1, 0, &bytes)) {
        return false;
    }
    HANDLE parent = shell.Get();
    STARTUPINFOEXW extended = {};
    extended.StartupInfo = startup;
    extended.StartupInfo.cb = sizeof(extended);
    extended.lpAttributeList = list;
    constexpr DWORD kFlags =
        NORMAL_PRIORITY_CLASS | EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT;
    bool started =
        kernel.UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &parent,
                                         sizeof(parent), nullptr, nullptr) &&
        kernel.CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, kFlags,
                              environment.Get(), nullptr, &extended.StartupInfo, &process);
    kernel.DeleteProcThreadAttributeList(list);
    return started;
}

// CreateProcessAsUserW would need SeAssignPrimaryTokenPrivilege for a token
// that is not derived from the caller's own; only services hold it, so from
// an elevated administrator it fails with ERROR_PRIVILEGE_NOT_HELD.
// CreateProcessWithTokenW needs SeImpersonatePrivilege, which administrators
// and SYSTEM hold; the Secondary Logon service starts the process, and where
// that service is disabled the shell's process becomes the parent.
bool StartAsShellUser(wchar_t* commandLine, STARTUPINFOW& startup, PROCESS_INFORMATION& process) {
    DWORD pid = 0;
    UniqueHandle token = ShellUserToken(pid);
    return token && (advapi.CreateProcessWithTokenW(token.Get(), 0, nullptr, commandLine,
                                                    NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                                                    &startup, &process) ||
                     StartAsShellChild(token.Get(), pid, commandLine, startup, process));
}

// The account signed in to the installer's session, by the names Remote
// Desktop Services give for it ("DOMAIN\user"). Without their answer nothing
// tells whose the session is.
bool SessionUserSid(BYTE (&sid)[SECURITY_MAX_SID_SIZE]) {
    UniqueWtsText user;
    UniqueWtsText domain;
    DWORD bytes = 0;
    if (!wtsapi.WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION,
                                            WTSUserName, user.Put(), &bytes) ||
        !wtsapi.WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION,
                                            WTSDomainName, domain.Put(), &bytes) ||
        !user.Get() || !user.Get()[0] || !domain.Get()) {
        return false;
    }
    wchar_t account[2 * kAccountNameChars + 2] = {};
    if (domain.Get()[0]) {
        kernel.lstrcpynW(account, domain.Get(), kAccountNameChars);
        kernel.lstrcatW(account, L"\\");
    }
    kernel.lstrcpynW(account + kernel.lstrlenW(account), user.Get(), kAccountNameChars);
    DWORD sidBytes = sizeof(sid);
    wchar_t referenced[kAccountNameChars];
    DWORD referencedChars = kAccountNameChars;
    SID_NAME_USE use;
    return advapi.LookupAccountNameW(nullptr, account, sid, &sidBytes, referenced, &referencedChars,
                                     &use);
}

// The installer's own token is the signed-in user's only when the installer
// runs as that user (elevated by that user): after an administrator typed
// credentials on the user's desktop, or as SYSTEM, it is another account's.
bool RunsAsSessionUser() {
    BYTE sessionUser[SECURITY_MAX_SID_SIZE];
    TokenSid buffer;
    if (!SessionUserSid(sessionUser)) {
        return false;
    }
    PSID own = OwnTokenSid(TokenUser, buffer);
    return own && advapi.EqualSid(own, sessionUser);
}

bool InSessionZero() {
    DWORD session = 1;
    return kernel.ProcessIdToSessionId(kernel.GetCurrentProcessId(), &session) && session == 0;
}

// False when the program is left to the Run value: in session 0, which has
// services and no user's desktop (a deployment running as SYSTEM), when
// neither the shell's user's token nor the installer's own is the signed-in
// user's, and when the start itself failed.
bool StartTray(const CountedString& path) {
    if (InSessionZero()) {
        return false;
    }
    BindSessionTables();
    // CreateProcessW may write into the command line, so it is a local copy.
    wchar_t commandLine[kMaxCommandPathChars + 3] = {};
    SIZE_T n = CountedLength(path);
    if (n > kMaxCommandPathChars) {
        n = kMaxCommandPathChars;
    }
    commandLine[0] = L'"';
    CopyMemory(commandLine + 1, CountedText(path), n * sizeof(wchar_t));
    commandLine[n + 1] = L'"';
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process = {};
    // Without the shell's user's token, the installer's own only when it is the
    // signed-in user's: the start as before.
    if (!StartAsShellUser(commandLine, startup, process) &&
        !(RunsAsSessionUser() &&
          kernel.CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE,
                                NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process))) {
        return false;
    }
    UniqueHandle thread(process.hThread);
    UniqueHandle started(process.hProcess);
    return true;
}

}  // namespace

void StopTrayCompanion(const wchar_t* keep) {
    UniqueHandle mutex(kernel.CreateMutexA(nullptr, FALSE, kTrayMutexName));
    bool made = static_cast<bool>(mutex);
    if (mutex && kernel.GetLastError() == ERROR_ALREADY_EXISTS) {
        AskTrayToEnd(mutex.Get());
    }
    // Closed without a release: the waits above may have made this thread its
    // owner, and the tray program creates a fresh mutex when it starts again.
    mutex.Reset();
    UniqueKey key = OpenRunKey();
    if (!key) {
        return;
    }
    if (made) {
        DeleteRegisteredTray(key.Get(), keep);
    }
    advapi.RegDeleteValueW(key.Get(), kTrayRunValue);
}

void RegisterTrayCompanion(InstallRun& run) {
    if (!IsVistaOrLater()) {
        return;
    }
    CountedString path = {};
    TrayProgramPath(run, path);
    if (NamesTrayProgram(path)) {
        bool registered = WriteRunValue(path);
        // Said only when it is so: without the value nothing starts the program later.
        if (!StartTray(path) && registered) {
            LogLine(
                run,
                "The tray program is not started now; the Run value starts it at the next logon");
        }
    }
    FreeCountedString(path);
}
