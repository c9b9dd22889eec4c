#include <gmock/gmock.h>

#include <map>
#include <string>
#include <vector>

#include "app/procedures.h"
#include "core/session_api.h"
#include "app/signed_in_users.h"
#include "core/user_api.h"
#include "app/user_steps.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/deferred_delete.h"
#include "core/run_log.h"
#include "core/advapi_api.h"
#include "support/scoped_override.h"
#include "support/test_support.h"
#include "../files/pending_value.h"
#include "../spooler/spooler_scratch.h"
#include "spooler/enumerations.h"
#include "spooler/printer_settings.h"
#include "core/handles.h"

namespace {

// Counts the spooler stops a procedure asks for; the real service still runs.
struct Stops {
    static inline int count;
    static inline decltype(advapi.ControlService) real;
};

class ProceduresTest : public testing::Test {
protected:
    ProceduresTest()
        : stop_((Stops::real = advapi.ControlService, advapi.ControlService),
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
    ScopedOverride<decltype(advapi.ControlService)> stop_;
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

// ---- a run as SYSTEM and the signed-in users, through the session table ----------

// Session n's steps answer kAsk[n] and kRestore[n]; kHangs never ends, kNoStart
// cannot start (ERROR_ACCESS_DENIED). Session 0 has no user.
constexpr DWORD kHangs = 0xFFFFFFFF;
constexpr DWORD kNoStart = 0xFFFFFFFE;
constexpr DWORD kAsk[] = {0, kStepDone + 1, kStepDone + 2, kStepFailed | ERROR_ACCESS_DENIED,
                          kHangs};
constexpr DWORD kRestore[] = {0, kStepDone + 1, kStepDone, kStepDone, kNoStart};
WTS_SESSION_INFOW listed[] = {{0, nullptr, WTSDisconnected},
                              {1, nullptr, WTSActive},
                              {2, nullptr, WTSActive},
                              {3, nullptr, WTSActive},
                              {4, nullptr, WTSActive}};

struct Fake {
    static inline std::map<HANDLE, DWORD> handles;  // token: session; process: its answer
    static inline std::vector<std::wstring> lines;
    static inline std::vector<DWORD> ended;
    static inline int calls;
};

BOOL WINAPI SystemAccount(HANDLE, TOKEN_INFORMATION_CLASS, void* info, DWORD, DWORD*) {
    DWORD bytes = SECURITY_MAX_SID_SIZE;
    auto* account = static_cast<TOKEN_USER*>(info);
    account->User.Sid = account + 1;
    return CreateWellKnownSid(WinLocalSystemSid, nullptr, account->User.Sid, &bytes);
}

BOOL WINAPI StartScripted(HANDLE token, LPCWSTR, LPWSTR line, LPSECURITY_ATTRIBUTES,
                          LPSECURITY_ATTRIBUTES, BOOL, DWORD flags, LPVOID, LPCWSTR folder,
                          LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process) {
    DWORD session = Fake::handles.at(token);
    bool restore = std::wstring(line).find(L" user.restore ") != std::wstring::npos;
    DWORD answer = (restore ? kRestore : kAsk)[session];
    Fake::lines.push_back(std::to_wstring(session) + L": " + line + L" in " + folder + L" on " +
                          startup->lpDesktop + (flags == CREATE_UNICODE_ENVIRONMENT ? L"" : L"!"));
    SetLastError(ERROR_ACCESS_DENIED);
    if (answer == kNoStart) {
        return FALSE;
    }
    process->hProcess = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    process->hThread = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Fake::handles[process->hProcess] = answer;
    return TRUE;
}

// Every entry a run as SYSTEM reaches the signed-in users through, played
// as above (each counts its calls); the installer's own path.
class SignedInUsersTest : public testing::Test {
protected:
    SignedInUsersTest() {
        Fake::handles.clear();
        Fake::lines.clear();
        Fake::ended.clear();
        Fake::calls = 0;
        wtsapi.WTSEnumerateSessionsW = [](HANDLE, DWORD, DWORD, WTS_SESSION_INFOW** info,
                                          DWORD* count) -> BOOL {
            *info = listed;
            *count = 5;
            return ++Fake::calls;
        };
        wtsapi.WTSFreeMemory = [](void*) {};
        wtsapi.WTSQueryUserToken = [](ULONG session, HANDLE* token) -> BOOL {
            *token = session ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
            Fake::handles[*token] = session;
            SetLastError(ERROR_NO_TOKEN);
            return ++Fake::calls && session;
        };
        userenv.CreateEnvironmentBlock = [](void** block, HANDLE, BOOL inherit) -> BOOL {
            *block = const_cast<wchar_t*>(L"A=1\0");
            return ++Fake::calls && inherit;
        };
        userenv.DestroyEnvironmentBlock = [](void*) -> BOOL { return TRUE; };
        advapi.CreateProcessAsUserW =
            [](HANDLE token, LPCWSTR program, LPWSTR line, LPSECURITY_ATTRIBUTES a,
               LPSECURITY_ATTRIBUTES b, BOOL inherit, DWORD flags, LPVOID environment,
               LPCWSTR folder, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process) -> BOOL {
            return ++Fake::calls && StartScripted(token, program, line, a, b, inherit, flags,
                                                  environment, folder, startup, process);
        };
        kernel.WaitForSingleObject = [](HANDLE process, DWORD ms) -> DWORD {
            EXPECT_LE(ms, 30000u);
            return ++Fake::calls && Fake::handles.at(process) == kHangs ? WAIT_TIMEOUT
                                                                        : WAIT_OBJECT_0;
        };
        kernel.GetExitCodeProcess = [](HANDLE process, DWORD* code) -> BOOL {
            *code = Fake::handles.at(process);
            return ++Fake::calls;
        };
        kernel.TerminateProcess = [](HANDLE process, UINT) -> BOOL {
            Fake::ended.push_back(Fake::handles.at(process));
            return ++Fake::calls;
        };
        run_ = EmptyRun();
        AssignCountedString(run_.sourceDir, L"C:\\Setup\\");
        const wchar_t* const names[] = {L"Office", L"Plain", L"Lab"};
        for (int i = 0; i < 3; ++i) {
            printers_[i].pPrinterName = const_cast<LPWSTR>(names[i]);
            printers_[i].pDriverName = const_cast<LPWSTR>(i == 1 ? L"Generic" : kDriverName);
        }
        run_.printers = printers_;
        run_.printerCount = 3;
    }
    ~SignedInUsersTest() override {
        kernel = savedKernel_;
        advapi = savedAdvapi_;
        userenv = savedUserenv_;
        wtsapi = savedWtsapi_;
        FreeCountedString(run_.sourceDir);
        FreeCountedString(run_.logText);
        SetEnvironmentVariableW(L"__COMPAT_LAYER", nullptr);
    }
    const KernelApi savedKernel_ = kernel;
    const AdvapiApi savedAdvapi_ = advapi;
    const UserenvApi savedUserenv_ = userenv;
    const WtsapiApi savedWtsapi_ = wtsapi;
    PRINTER_INFO_2W printers_[3] = {};
    InstallRun run_;
    ScopedOverride<decltype(kernel.GetModuleFileNameW)> path_{
        kernel.GetModuleFileNameW, [](HMODULE, LPWSTR path, DWORD) -> DWORD {
            return static_cast<DWORD>(lstrlenW(lstrcpyW(path, L"C:\\Setup\\zrlsetup.exe")));
        }};
};

// Two users whose default printers are a product printer and another; a step
// that fails, one that never ends, one that cannot start; a session without
// a user. Each costs its own user only.
TEST_F(SignedInUsersTest, AsSystemEachSignedInUserIsAskedBeforeAndGivenBackAfter) {
    ScopedOverride system(advapi.GetTokenInformation, &SystemAccount);
    AllocationCounter blocks;
    SignedInUsers users = {};
    AskSignedInUsers(run_, users);
    RestoreSignedInUsers(run_, users);
    FreeSignedInUsers(users);
    DWORD flags = 0;
    for (const auto& [handle, n] : Fake::handles) {
        // Closed, before anything else can take the numbers again.
        EXPECT_FALSE(GetHandleInformation(handle, &flags));
    }
    EXPECT_EQ(LogOf(run_),
              L">Asking the signed-in users for their default printers\r\n"
              L"  Session 0: no user's token (1008)\r\n"
              L"  Session 1: the default printer is 'Office'\r\n"
              L"  Error(35): Can`t learn the default printer of session 3's user" +
                  ErrorTail(ERROR_ACCESS_DENIED) +
                  L"\r\n  Error(37): The step for session 4's user did not end within 30 "
                  L"seconds" +
                  ErrorTail(WAIT_TIMEOUT) +
                  L"\r\n>Restoring the signed-in users' default printers and settings\r\n"
                  L"  Session 1: the default printer is 'Office' again\r\n"
                  L"  Error(36): Can`t restore the default printer and settings of session 4's "
                  L"user" +
                  ErrorTail(ERROR_ACCESS_DENIED) + L"\r\n");
    EXPECT_EQ(run_.errorCount, 3);
    const std::wstring ask =
        L"\"C:\\Setup\\zrlsetup.exe\" user.default \"Office\" \"Plain\" \"Lab\"";
    const std::wstring restore = L"\"C:\\Setup\\zrlsetup.exe\" user.restore ";
    const std::wstring where = L" in C:\\Setup\\ on winsta0\\default";
    EXPECT_THAT(
        Fake::lines,
        testing::ElementsAre(L"1: " + ask + where, L"2: " + ask + where, L"3: " + ask + where,
                             L"4: " + ask + where, L"1: " + restore + L"\"Office\"" + where,
                             L"2: " + restore + L"\"\"" + where, L"3: " + restore + L"\"\"" + where,
                             L"4: " + restore + L"\"\"" + where));
    EXPECT_THAT(Fake::ended, testing::ElementsAre(kHangs));
    // The steps' environment takes this one's, which names the layer that
    // lets a user's token run an installer that asks for administrators.
    wchar_t layer[16] = {};
    GetEnvironmentVariableW(L"__COMPAT_LAYER", layer, 16);
    EXPECT_STREQ(layer, L"RunAsInvoker");
    EXPECT_EQ(blocks.HeapBlocks(), 1);  // the log's own
    EXPECT_EQ(blocks.GlobalBlocks(), 0);
}

// Not as SYSTEM (an administrator's own run, and every run under Wine): not
// one call of the session table, not one line, nothing in the environment.
TEST_F(SignedInUsersTest, AnyOtherAccountMakesNoCallAndWritesNoLine) {
    SignedInUsers users = {};
    AskSignedInUsers(run_, users);
    RestoreSignedInUsers(run_, users);
    FreeSignedInUsers(users);
    EXPECT_EQ(Fake::calls, 0);
    EXPECT_EQ(LogOf(run_), L"");
    EXPECT_EQ(GetEnvironmentVariableW(L"__COMPAT_LAYER", nullptr, 0), 0u);
}

// Under Wine, for real: Wine's one user's token and environment, and
// CreateProcessAsUserW starting the installed zrlsetup.exe. Only SYSTEM and
// the session list are played (Wine lists none).
TEST(SignedInUserSteps, RealStepsLearnTheDefaultAndGiveItAndTheMarksBack) {
    constexpr wchar_t kSettings[] =
        L"Software\\Dravish Software KFT\\Zantorelle\\Zantorelles\\steps";
    SpoolerScratch scratch;
    ASSERT_TRUE(scratch.AddDriver(kDriverName) && scratch.AddDriver(L"Steps Generic"));
    ASSERT_TRUE(scratch.AddPrinter(L"Steps Office", kDriverName) &&
                scratch.AddPrinter(L"Steps Plain", L"Steps Generic"));
    UniquePrinter office(scratch.OpenForDelete(L"Steps Office"));
    ASSERT_TRUE(WritePrinterSubKey(office.Get(), "steps"));
    RegSetKeyValueW(HKEY_CURRENT_USER, kSettings, L"kept", REG_SZ, L"1", 4);
    ASSERT_TRUE(winspool.SetDefaultPrinterW(L"Steps Office"));
    InstallRun run = EmptyRun();
    static std::wstring setup = SetupDir() + L"\\";
    AssignCountedString(run.sourceDir, setup.c_str());
    EnumeratePrinters(run.printers, run.printerCount);
    ScopedOverride system(advapi.GetTokenInformation, &SystemAccount);
    ScopedOverride one(wtsapi.WTSEnumerateSessionsW,
                       [](HANDLE, DWORD, DWORD, WTS_SESSION_INFOW** info, DWORD* count) -> BOOL {
                           *info = listed + 1;
                           *count = 1;
                           return TRUE;
                       });
    ScopedOverride kept(wtsapi.WTSFreeMemory, [](void*) {});
    ScopedOverride path(kernel.GetModuleFileNameW, [](HMODULE, LPWSTR to, DWORD) -> DWORD {
        return static_cast<DWORD>(lstrlenW(lstrcpyW(to, (setup + L"zrlsetup.exe").c_str())));
    });
    // Asked, then left what the printer's deletion leaves: another default, the mark.
    SignedInUsers users = {};
    AskSignedInUsers(run, users);
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
    EXPECT_NE(RegGetValueW(HKEY_CURRENT_USER, kSettings, L"deleted", RRF_RT_ANY, 0, 0, 0), 0);
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, kSettings, L"kept", RRF_RT_ANY, 0, 0, 0), 0);
    // A name a step does not take fails it before it does anything.
    std::wstring longName(255, L'x');
    wchar_t* argv[] = {nullptr, nullptr, const_cast<wchar_t*>(L"Steps Plain"), longName.data()};
    EXPECT_EQ(UserStep(false, 4, argv), static_cast<int>(kStepFailed | ERROR_INVALID_PARAMETER));
    argv[3] = argv[2];
    EXPECT_EQ(UserStep(true, 4, argv), static_cast<int>(kStepFailed | ERROR_INVALID_PARAMETER));
    // A printer that is not there is made no default.
    argv[2] = const_cast<wchar_t*>(L"Steps Gone");
    EXPECT_EQ(UserStep(true, 3, argv), static_cast<int>(kStepDone));
    EXPECT_EQ(scratch.DefaultPrinter(), L"Steps Office");
    RegDeleteKeyW(HKEY_CURRENT_USER, kSettings);
    FreePrinterList(run.printers, run.printerCount);
    FreeCountedString(run.sourceDir);
    FreeCountedString(run.logText);
    SetEnvironmentVariableW(L"__COMPAT_LAYER", nullptr);
}

}  // namespace
