#include <gmock/gmock.h>

#include <map>
#include <string>
#include <vector>

#include "app/procedures.h"
#include "app/session_api.h"
#include "app/signed_in_users.h"
#include "app/user_api.h"
#include "app/user_steps.h"
#include "spooler/enumerations.h"
#include "spooler/printer_settings.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/deferred_delete.h"
#include "core/run_log.h"
#include "service/service_api.h"
#include "support/scoped_override.h"
#include "support/test_support.h"
#include "../files/pending_value.h"
#include "../spooler/spooler_scratch.h"

namespace {

// Counts the spooler stops a procedure asks for; the real service still runs.
struct Stops {
    static inline int count;
    static inline decltype(services.ControlService) real;
};

class ProceduresTest : public testing::Test {
protected:
    ProceduresTest()
        : stop_((Stops::real = services.ControlService, services.ControlService),
                [](SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) -> BOOL {
                    Stops::count += control == SERVICE_CONTROL_STOP;
                    return Stops::real(service, control, status);
                }) {
        Stops::count = 0;
        dir_ = MakeTempDir(L"procedures");
    }
    ~ProceduresTest() override { RemoveTree(dir_); }

    std::wstring File(const wchar_t* name) {
        std::wstring path = dir_ + L"\\" + name;
        WriteFileBytes(path, "x");
        return path;
    }

    PendingValue pending_;
    std::wstring dir_;
    ScopedOverride<decltype(services.ControlService)> stop_;
};

TEST_F(ProceduresTest, NothingPendingIsOnePassWithoutARestart) {
    EXPECT_FALSE(PendingFilesCheck());
    EXPECT_EQ(Stops::count, 0);
}

TEST_F(ProceduresTest, PendingRenameOfAProductFileInAnyCaseNeedsARestart) {
    std::wstring ui = File(L"ZRLUI64.DLL");
    pending_.SetStrings({L"\\??\\" + ui, L"\\??\\" + dir_ + L"\\renamed.dll"});
    EXPECT_TRUE(PendingFilesCheck());
    EXPECT_EQ(Stops::count, 2);   // one restart after each pass that found it
    EXPECT_TRUE(FileExists(ui));  // a rename is left to Windows
}

TEST_F(ProceduresTest, PendingDeletionThatTheFlushCarriesOutIsNoFind) {
    std::wstring monitor = File(L"zrlmon64.dll");
    CreateDirectoryW((dir_ + L"\\zrldrv64.dll").c_str(), nullptr);
    std::wstring other = File(L"zrlmon32.dll");
    pending_.SetStrings({L"\\??\\" + monitor, L"", dir_ + L"\\zrldrv64.dll",
                         dir_ + L"\\elsewhere.dll", other, dir_ + L"\\x.dll"});
    EXPECT_FALSE(PendingFilesCheck());
    EXPECT_FALSE(FileExists(monitor));
    EXPECT_EQ(Stops::count, 0);
}

TEST_F(ProceduresTest, UninstallLeftoversAreRetriedWithTheSpoolerStoppedAndStayListed) {
    InstallRun run = EmptyRun();
    run.environment = L"Windows x64";
    std::wstring locked = File(L"locked.dll");
    UniqueFile hold(CreateFileW(locked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    AddDeferredDelete(run.deferredDeletes, locked.c_str());

    UninstallAndCleanUp(run);
    EXPECT_THAT(LogOf(run), testing::StartsWith(L">UnInstall\r\n  EnumMonitors\r\n"));
    EXPECT_THAT(LogOf(run), testing::EndsWith(L"\r\n  DeleteFile-try\r\n"
                                              L"DeleteFile-try\r\n"
                                              L">Restart Spooler\r\n"
                                              L"DeleteFile-try\r\n"));
    EXPECT_EQ(Stops::count, 1);
    ASSERT_NE(run.deferredDeletes, nullptr);
    EXPECT_EQ(std::wstring(run.deferredDeletes->path), locked);
    EXPECT_EQ(run.logDepth, 0);
    ClearDeferredDeletes(run.deferredDeletes);
    FreeCountedString(run.logText);
}

TEST_F(ProceduresTest, UninstallWhoseFilesAllGoLogsNoRetry) {
    InstallRun run = EmptyRun();
    run.environment = L"Windows x64";
    UninstallAndCleanUp(run);
    EXPECT_THAT(LogOf(run), testing::Not(testing::HasSubstr(L"DeleteFile-try")));
    EXPECT_THAT(LogOf(run), testing::Not(testing::HasSubstr(L"Restart Spooler")));
    EXPECT_EQ(Stops::count, 0);
    EXPECT_EQ(run.errorCount, 0);
    FreeCountedString(run.logText);
}

// ---- the signed-in users of a run as SYSTEM, through the session table ---------

constexpr wchar_t kInstallerPath[] = L"C:\\Zantorelle\\Setup\\zrlsetup.exe";

// What each session's steps do: the answer of the asking step and of the
// restore step; kHangs for a step that never ends, kNoStart for one that
// cannot be started (ERROR_ACCESS_DENIED).
constexpr DWORD kHangs = 0xFFFFFFFF;
constexpr DWORD kNoStart = 0xFFFFFFFE;
struct Script {
    DWORD session;
    DWORD tokenError;
    DWORD ask;
    DWORD restore;
};

struct Sessions {
    static inline std::vector<Script> script;
    static inline std::map<HANDLE, DWORD> tokens;  // token -> session
    static inline std::map<HANDLE, DWORD> steps;   // process -> exit code or kHangs
    static inline std::vector<std::wstring> commandLines;
    static inline std::vector<HANDLE> terminated;
    static inline int calls;
    static inline bool inherited;
};

BOOL WINAPI SystemAccount(HANDLE, TOKEN_INFORMATION_CLASS, void* info, DWORD bytes, DWORD* needed) {
    DWORD sidBytes = SECURITY_MAX_SID_SIZE;
    auto* user = static_cast<TOKEN_USER*>(info);
    user->User.Sid = static_cast<BYTE*>(info) + sizeof(TOKEN_USER);
    *needed = bytes;
    return CreateWellKnownSid(WinLocalSystemSid, nullptr, user->User.Sid, &sidBytes);
}

WTS_SESSION_INFOW listed[8];

BOOL WINAPI ListScripted(HANDLE, DWORD, DWORD, WTS_SESSION_INFOW** info, DWORD* count) {
    ++Sessions::calls;
    for (size_t i = 0; i < Sessions::script.size(); ++i) {
        listed[i] = {Sessions::script[i].session, nullptr, WTSActive};
    }
    *info = listed;
    *count = static_cast<DWORD>(Sessions::script.size());
    return TRUE;
}

BOOL WINAPI TokenOf(ULONG session, HANDLE* token) {
    ++Sessions::calls;
    for (const Script& s : Sessions::script) {
        if (s.session == session && s.tokenError) {
            SetLastError(s.tokenError);
            return FALSE;
        }
    }
    *token = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Sessions::tokens[*token] = session;
    return TRUE;
}

BOOL WINAPI ScriptedStep(HANDLE token, LPCWSTR program, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                         LPSECURITY_ATTRIBUTES, BOOL inherit, DWORD flags, LPVOID environment,
                         LPCWSTR folder, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process) {
    ++Sessions::calls;
    std::wstring line = commandLine;
    EXPECT_EQ(program, nullptr);
    EXPECT_FALSE(inherit);
    EXPECT_EQ(flags, static_cast<DWORD>(CREATE_UNICODE_ENVIRONMENT));
    EXPECT_STREQ(static_cast<const wchar_t*>(environment), L"A=1");
    EXPECT_STREQ(folder, L"C:\\Zantorelle\\Setup\\");
    EXPECT_STREQ(startup->lpDesktop, L"winsta0\\default");
    DWORD session = Sessions::tokens.at(token);
    Sessions::commandLines.push_back(std::to_wstring(session) + L": " + line);
    for (const Script& s : Sessions::script) {
        DWORD code = line.find(L" user.restore ") != std::wstring::npos ? s.restore : s.ask;
        if (s.session != session) {
            continue;
        }
        if (code == kNoStart) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        process->hProcess = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        process->hThread = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        Sessions::steps[process->hProcess] = code;
    }
    return TRUE;
}

BOOL WINAPI UserEnvironment(void** block, HANDLE, BOOL inherit) {
    ++Sessions::calls;
    Sessions::inherited = inherit;
    static wchar_t variables[] = L"A=1\0";
    *block = variables;
    return TRUE;
}

DWORD WINAPI WaitForStep(HANDLE process, DWORD ms) {
    ++Sessions::calls;
    EXPECT_LE(ms, 30000u);
    return Sessions::steps.at(process) == kHangs ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

BOOL WINAPI StepExitCode(HANDLE process, DWORD* code) {
    ++Sessions::calls;
    *code = Sessions::steps.at(process);
    return TRUE;
}

BOOL WINAPI EndStep(HANDLE process, UINT) {
    ++Sessions::calls;
    Sessions::terminated.push_back(process);
    return TRUE;
}

bool IsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags);
}

// Every entry of the session table, played as above, and the installer's own path.
class SignedInUsersTest : public testing::Test {
protected:
    SignedInUsersTest() {
        Sessions::tokens.clear();
        Sessions::steps.clear();
        Sessions::commandLines.clear();
        Sessions::terminated.clear();
        Sessions::calls = 0;
        run_ = EmptyRun();
        AssignCountedString(run_.sourceDir, L"C:\\Zantorelle\\Setup\\");
        printers_[0].pPrinterName = const_cast<LPWSTR>(L"Office");
        printers_[0].pDriverName = const_cast<LPWSTR>(kDriverName);
        printers_[1].pPrinterName = const_cast<LPWSTR>(L"Plain");
        printers_[1].pDriverName = const_cast<LPWSTR>(L"Generic");
        printers_[2].pPrinterName = const_cast<LPWSTR>(L"Lab");
        printers_[2].pDriverName = const_cast<LPWSTR>(kDriverName);
        run_.printers = printers_;
        run_.printerCount = 3;
    }
    ~SignedInUsersTest() override {
        FreeCountedString(run_.sourceDir);
        FreeCountedString(run_.logText);
        SetEnvironmentVariableW(L"__COMPAT_LAYER", nullptr);
    }

    PRINTER_INFO_2W printers_[3] = {};
    InstallRun run_;
    ScopedOverride<decltype(sessions.WTSEnumerateSessionsW)> list_{sessions.WTSEnumerateSessionsW,
                                                                   &ListScripted};
    ScopedOverride<decltype(sessions.WTSFreeMemory)> free_{
        sessions.WTSFreeMemory, [](void* info) { EXPECT_EQ(info, listed); }};
    ScopedOverride<decltype(sessions.WTSQueryUserToken)> token_{sessions.WTSQueryUserToken,
                                                                &TokenOf};
    ScopedOverride<decltype(sessions.CreateEnvironmentBlock)> environment_{
        sessions.CreateEnvironmentBlock, &UserEnvironment};
    ScopedOverride<decltype(sessions.DestroyEnvironmentBlock)> destroy_{
        sessions.DestroyEnvironmentBlock, [](void*) -> BOOL { return TRUE; }};
    ScopedOverride<decltype(sessions.CreateProcessAsUserW)> start_{sessions.CreateProcessAsUserW,
                                                                   &ScriptedStep};
    ScopedOverride<decltype(sessions.WaitForSingleObject)> wait_{sessions.WaitForSingleObject,
                                                                 &WaitForStep};
    ScopedOverride<decltype(sessions.GetExitCodeProcess)> exit_{sessions.GetExitCodeProcess,
                                                                &StepExitCode};
    ScopedOverride<decltype(sessions.TerminateProcess)> end_{sessions.TerminateProcess, &EndStep};
    ScopedOverride<decltype(kernel.GetModuleFileNameW)> path_{
        kernel.GetModuleFileNameW, [](HMODULE, LPWSTR path, DWORD chars) -> DWORD {
            lstrcpynW(path, kInstallerPath, static_cast<int>(chars));
            return static_cast<DWORD>(lstrlenW(path));
        }};
};

// Two users signed in, one whose default printer is a product printer and
// one whose is not; one step that fails, one that never ends, one that
// cannot start; and a session without a user. Each costs its own user only.
TEST_F(SignedInUsersTest, AsSystemEachSignedInUserIsAskedBeforeAndGivenBackAfter) {
    ScopedOverride system(user.GetTokenInformation, &SystemAccount);
    Sessions::script = {
        {0, ERROR_NO_TOKEN, 0, 0},
        {1, 0, kStepDone + 1, kStepDone + 1},  // "Office", the product's
        {2, 0, kStepDone + 2, kStepDone},      // "Plain", another driver's
        {3, 0, kStepFailed | ERROR_ACCESS_DENIED, kStepDone},
        {4, 0, kHangs, kNoStart},
    };
    AllocationCounter blocks;
    SignedInUsers users = {};
    AskSignedInUsers(run_, users);
    RestoreSignedInUsers(run_, users);
    std::vector<HANDLE> tokens;
    for (DWORD i = 0; i < users.count; ++i) {
        tokens.push_back(users.sessions[i].token);
    }
    FreeSignedInUsers(users);
    // Before anything else can take their numbers again.
    for (HANDLE token : tokens) {
        EXPECT_FALSE(token && IsOpen(token));
    }
    for (const auto& [process, code] : Sessions::steps) {
        EXPECT_FALSE(IsOpen(process));
    }

    EXPECT_EQ(LogOf(run_),
              L">Asking the signed-in users for their default printers\r\n"
              L"  Session 0: no user's token (1008)\r\n"
              L"  Session 1: the default printer is 'Office'\r\n"
              L"  Error(35): Can`t learn the default printer of session 3's user" +
                  ErrorTail(ERROR_ACCESS_DENIED) +
                  L"\r\n"
                  L"  Error(37): The step for session 4's user did not end within 30 seconds" +
                  ErrorTail(WAIT_TIMEOUT) +
                  L"\r\n"
                  L">Restoring the signed-in users' default printers and settings\r\n"
                  L"  Session 1: the default printer is 'Office' again\r\n"
                  L"  Error(36): Can`t restore the default printer and settings of session 4's "
                  L"user" +
                  ErrorTail(ERROR_ACCESS_DENIED) + L"\r\n");
    EXPECT_EQ(run_.errorCount, 3);
    EXPECT_EQ(run_.logDepth, 0);
    const std::wstring program = L"\"" + std::wstring(kInstallerPath) + L"\"";
    const std::wstring ask = program + L" user.default \"Office\" \"Plain\" \"Lab\"";
    EXPECT_THAT(Sessions::commandLines,
                testing::ElementsAre(L"1: " + ask, L"2: " + ask, L"3: " + ask, L"4: " + ask,
                                     L"1: " + program + L" user.restore \"Office\"",
                                     L"2: " + program + L" user.restore \"\"",
                                     L"3: " + program + L" user.restore \"\"",
                                     L"4: " + program + L" user.restore \"\""));
    // The steps' environment is the user's over the installer's, which
    // names the compatibility layer that lets the user's token run them.
    EXPECT_TRUE(Sessions::inherited);
    wchar_t layer[32] = {};
    GetEnvironmentVariableW(L"__COMPAT_LAYER", layer, 32);
    EXPECT_STREQ(layer, L"RunAsInvoker");
    // The step that never ended was ended; no memory is left taken.
    ASSERT_EQ(Sessions::terminated.size(), 1u);
    EXPECT_EQ(Sessions::steps[Sessions::terminated[0]], kHangs);
    EXPECT_EQ(tokens.size(), 5u);
    EXPECT_EQ(blocks.HeapBlocks(), 1);  // the log's own
    EXPECT_EQ(blocks.GlobalBlocks(), 0);
}

// Not as SYSTEM (an administrator's own run, and every run under Wine): not
// one call of the session table, not one line, nothing in the environment.
TEST_F(SignedInUsersTest, AnyOtherAccountMakesNoCallAndWritesNoLine) {
    Sessions::script = {{1, 0, kStepDone + 1, kStepDone + 1}};
    SignedInUsers users = {};
    AskSignedInUsers(run_, users);
    RestoreSignedInUsers(run_, users);
    FreeSignedInUsers(users);
    EXPECT_EQ(Sessions::calls, 0);
    EXPECT_EQ(LogOf(run_), L"");
    EXPECT_EQ(users.sessions, nullptr);
    EXPECT_EQ(GetEnvironmentVariableW(L"__COMPAT_LAYER", nullptr, 0), 0u);
}

// Under Wine, for real: the only user's token, its environment, and
// CreateProcessAsUserW starting the installed zrlsetup.exe with each internal
// word. Only SYSTEM and the session list are played (Wine lists no session).
TEST(SignedInUserSteps, RealStepsLearnTheDefaultAndGiveItAndTheMarksBack) {
    constexpr wchar_t kSettings[] =
        L"Software\\Dravish Software KFT\\Zantorelle\\Zantorelles\\steps";
    SpoolerScratch scratch;
    ASSERT_TRUE(scratch.AddDriver(kDriverName));
    ASSERT_TRUE(scratch.AddDriver(L"Steps Generic"));
    ASSERT_TRUE(scratch.AddPrinter(L"Steps Office", kDriverName));
    ASSERT_TRUE(scratch.AddPrinter(L"Steps Plain", L"Steps Generic"));
    HANDLE office = scratch.OpenForDelete(L"Steps Office");
    ASSERT_NE(office, nullptr);
    EXPECT_TRUE(WritePrinterSubKey(office, "steps"));
    winspool.ClosePrinter(office);
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSettings, L"kept", REG_SZ, L"1", 4), 0);
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSettings, L"deleted", REG_SZ, L"1", 4), 0);
    ASSERT_TRUE(winspool.SetDefaultPrinterW(L"Steps Office"));

    InstallRun run = EmptyRun();
    std::wstring setup = SetupDir() + L"\\";
    AssignCountedString(run.sourceDir, setup.c_str());
    EnumeratePrinters(run.printers, run.printerCount);
    static std::wstring installer;
    installer = setup + L"zrlsetup.exe";
    ScopedOverride system(user.GetTokenInformation, &SystemAccount);
    ScopedOverride one(sessions.WTSEnumerateSessionsW,
                       [](HANDLE, DWORD, DWORD, WTS_SESSION_INFOW** info, DWORD* count) -> BOOL {
                           listed[0] = {1, nullptr, WTSActive};
                           *info = listed;
                           *count = 1;
                           return TRUE;
                       });
    ScopedOverride kept(sessions.WTSFreeMemory, [](void*) {});
    ScopedOverride path(kernel.GetModuleFileNameW, [](HMODULE, LPWSTR to, DWORD chars) -> DWORD {
        lstrcpynW(to, installer.c_str(), static_cast<int>(chars));
        return static_cast<DWORD>(lstrlenW(to));
    });

    SignedInUsers users = {};
    AskSignedInUsers(run, users);
    // What the printer's deletion leaves the user: another default, the mark.
    winspool.SetDefaultPrinterW(L"Steps Plain");
    RegSetKeyValueW(HKEY_CURRENT_USER, kSettings, L"deleted", REG_SZ, L"1", 4);
    RestoreSignedInUsers(run, users);
    FreeSignedInUsers(users);

    EXPECT_EQ(LogOf(run),
              L">Asking the signed-in users for their default printers\r\n"
              L"  Session 1: the default printer is 'Steps Office'\r\n"
              L">Restoring the signed-in users' default printers and settings\r\n"
              L"  Session 1: the default printer is 'Steps Office' again\r\n");
    EXPECT_EQ(scratch.DefaultPrinter(), L"Steps Office");
    EXPECT_NE(RegGetValueW(HKEY_CURRENT_USER, kSettings, L"deleted", RRF_RT_ANY, nullptr, nullptr,
                           nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(
        RegGetValueW(HKEY_CURRENT_USER, kSettings, L"kept", RRF_RT_ANY, nullptr, nullptr, nullptr),
        ERROR_SUCCESS);
    RegDeleteKeyW(HKEY_CURRENT_USER, kSettings);
    FreePrinterList(run.printers, run.printerCount);
    FreeCountedString(run.sourceDir);
    FreeCountedString(run.logText);
    SetEnvironmentVariableW(L"__COMPAT_LAYER", nullptr);
}

}  // namespace
