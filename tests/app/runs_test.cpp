#include <gmock/gmock.h>

#include "core/advapi_api.h"
#include "app/run_deadline.h"
#include "app/runs.h"
#include "core/user_api.h"
#include "core/deferred_delete.h"
#include "core/kernel_api.h"
#include "core/run_log.h"
#include "service/spooler_service.h"
#include "support/fake_spooler_service.h"
#include "support/scoped_override.h"
#include "spooler/winspool_api.h"
#include "support/test_support.h"

#include <sddl.h>

namespace {

// What the dialog would have shown, captured instead of opening it.
struct Shown {
    static inline int dialogs;
    static inline HWND owner;
    static inline std::wstring log;
    static inline bool shift;
    static inline bool visibleStation;
};

class RunsTest : public testing::Test {
protected:
    RunsTest()
        : dialog_(user.DialogBoxParamW,
                  [](HINSTANCE, LPCWSTR id, HWND owner, DLGPROC, LPARAM param) -> INT_PTR {
                      EXPECT_EQ(id, MAKEINTRESOURCEW(101));
                      ++Shown::dialogs;
                      Shown::owner = owner;
                      Shown::log = LogOf(*reinterpret_cast<InstallRun*>(param));
                      return 1;
                  }),
          shift_(user.GetAsyncKeyState,
                 [](int key) -> SHORT {
                     EXPECT_EQ(key, VK_SHIFT);
                     return Shown::shift ? SHORT(0x8000) : SHORT(0);
                 }),
          station_(user.GetUserObjectInformationW,
                   [](HANDLE, int index, PVOID info, DWORD size, LPDWORD) -> BOOL {
                       EXPECT_EQ(index, UOI_FLAGS);
                       EXPECT_EQ(size, sizeof(USEROBJECTFLAGS));
                       static_cast<USEROBJECTFLAGS*>(info)->dwFlags =
                           Shown::visibleStation ? WSF_VISIBLE : 0;
                       return TRUE;
                   }) {
        Shown::dialogs = 0;
        Shown::owner = nullptr;
        Shown::log.clear();
        Shown::shift = false;
        Shown::visibleStation = true;
    }

    ScopedOverride<decltype(user.DialogBoxParamW)> dialog_;
    ScopedOverride<decltype(user.GetAsyncKeyState)> shift_;
    ScopedOverride<decltype(user.GetUserObjectInformationW)> station_;
};

void Clean(InstallRun&) {}
void Failing(InstallRun& run) {
    SetLastError(0);
    LogError(run, kErrorInstallDriver, L"Zantorelle printer");
}

HWND Owner() {
    return reinterpret_cast<HWND>(static_cast<INT_PTR>(0x5678));
}

TEST_F(RunsTest, CleanRunShowsNothingAndFreesEverything) {
    AllocationCounter blocks;
    DWORD scheduled = 99;
    EXPECT_FALSE(RunWithProcedure(&Clean, Command::Install, nullptr, &scheduled));
    EXPECT_EQ(scheduled, 0u);
    EXPECT_EQ(Shown::dialogs, 0);
    EXPECT_EQ(blocks.HeapBlocks(), 0);
    EXPECT_EQ(blocks.GlobalBlocks(), 0);
}

TEST_F(RunsTest, ShiftShowsTheLogOfACleanRunOwnedByTheParent) {
    Shown::shift = true;
    DWORD scheduled = 0;
    EXPECT_FALSE(RunWithProcedure(&Clean, Command::Install, Owner(), &scheduled));
    EXPECT_EQ(Shown::dialogs, 1);
    EXPECT_EQ(Shown::owner, Owner());
    EXPECT_EQ(Shown::log, L"Zantorelle 2026\r\n>Check Spooler\r\n");
}

TEST_F(RunsTest, ErrorsAlwaysShowTheLogAndMakeTheResultTrue) {
    AllocationCounter blocks;
    DWORD scheduled = 0;
    EXPECT_TRUE(RunWithProcedure(&Failing, Command::Install, nullptr, &scheduled));
    EXPECT_EQ(Shown::dialogs, 1);
    EXPECT_EQ(Shown::owner, nullptr);
    EXPECT_THAT(
        Shown::log,
        testing::EndsWith(L"Error(13): Can`t install a printer driver 'Zantorelle printer'\r\n"));
    EXPECT_EQ(blocks.HeapBlocks(), 0);
    EXPECT_EQ(blocks.GlobalBlocks(), 0);
}

// Who runs the installer, as the token says it.
struct Account {
    static inline const wchar_t* sid;
    static inline bool service;
    static inline DWORD session;
};

// No dialog where nobody sees it (a window station that is not visible,
// session 0), and none as SYSTEM or another service account, whose window a
// user could reach; none either where that cannot be told.
TEST_F(RunsTest, NoDialogWhereNobodyCanSeeItNorAsAServiceNorWhenUnknown) {
    ScopedOverride session(kernel.ProcessIdToSessionId, [](DWORD, DWORD* id) -> BOOL {
        *id = Account::session;
        return Account::session != 99;
    });
    ScopedOverride account(
        advapi.GetTokenInformation,
        [](HANDLE, TOKEN_INFORMATION_CLASS, LPVOID info, DWORD bytes, PDWORD) -> BOOL {
            PSID sid = nullptr;
            if (!Account::sid || !ConvertStringSidToSidW(Account::sid, &sid)) {
                return FALSE;
            }
            auto* user = static_cast<TOKEN_USER*>(info);
            user->User.Sid = reinterpret_cast<BYTE*>(info) + sizeof(TOKEN_USER);
            CopySid(bytes - sizeof(TOKEN_USER), user->User.Sid, sid);
            LocalFree(sid);
            return TRUE;
        });
    ScopedOverride group(advapi.CheckTokenMembership, [](HANDLE, PSID, PBOOL member) -> BOOL {
        *member = Account::service;
        return TRUE;
    });
    struct Case {
        bool visible;
        DWORD session;
        const wchar_t* sid;
        bool service;
        int dialogs;
    };
    const wchar_t* person = L"S-1-5-21-1-2-3-1001";
    const Case cases[] = {
        {true, 1, person, false, 1},      {false, 1, person, false, 0},
        {true, 0, person, false, 0},      {true, 99, person, false, 0},
        {true, 1, L"S-1-5-18", false, 0}, {true, 1, L"S-1-5-19", false, 0},
        {true, 1, L"S-1-5-20", false, 0}, {true, 1, L"S-1-5-80-1-2-3-4-5", true, 0},
        {true, 1, nullptr, false, 0},
    };
    for (const Case& c : cases) {
        Shown::dialogs = 0;
        Shown::visibleStation = c.visible;
        Account::session = c.session;
        Account::sid = c.sid;
        Account::service = c.service;
        DWORD scheduled = 0;
        EXPECT_TRUE(RunWithProcedure(&Failing, Command::Install, nullptr, &scheduled));
        EXPECT_EQ(Shown::dialogs, c.dialogs) << c.visible << c.session << (c.sid ? c.sid : L"?");
    }
}

// A spooler call that never returns: the run is ended at its deadline, its
// log names the step it was in, and its event is reported with exit code 100.
// A run whose own report does not return by then is ended as it stands: its
// log is being read, and a second report would wait as long. A run stuck with
// the spooler stopped has it started before the process ends, and a report of
// the deadline's own that does not return holds the end back for runReportMs.
struct Stuck {
    static inline HANDLE release;
    static inline HANDLE ended;
    static inline UINT code;
    static inline std::wstring event;
    static inline LONG reports;
    static inline bool inReport;
    static inline int startsAtEnd;
    static inline HANDLE reporter;
};

void StuckInTheSpooler(InstallRun& run) {
    EnterRunStep("removing the printer driver");
    winspool.DeletePrinterDriverExW(nullptr, nullptr, nullptr, 0, 0);
    LogLine(run, "never");
}

void StuckWithTheSpoolerStopped(InstallRun& run) {
    ScopedSpoolerRestart stopped(&run);
    StuckInTheSpooler(run);
}

// Runs `procedure` on a thread of its own until the deadline ends it.
void RunPastTheDeadline(RunProcedure procedure) {
    Stuck::release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Stuck::ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Stuck::code = Stuck::reports = 0;
    Stuck::event.clear();
    HANDLE run = CreateThread(
        nullptr, 0,
        [](void* procedure) -> DWORD {
            DWORD scheduled = 0;
            RunWithProcedure(reinterpret_cast<RunProcedure>(procedure), Command::Install, nullptr,
                             &scheduled);
            return 0;
        },
        reinterpret_cast<void*>(procedure), 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(Stuck::ended, 10000), WAIT_OBJECT_0);
    SetEvent(Stuck::release);
    EXPECT_EQ(WaitForSingleObject(run, 10000), WAIT_OBJECT_0);
    if (Stuck::reporter) {
        EXPECT_EQ(WaitForSingleObject(Stuck::reporter, 10000), WAIT_OBJECT_0);
        CloseHandle(Stuck::reporter);
        Stuck::reporter = nullptr;
    }
    for (HANDLE handle : {run, Stuck::release, Stuck::ended}) {
        CloseHandle(handle);
    }
}

TEST_F(RunsTest, ARunPastItsDeadlineIsEndedAndReportedWithTheStepItWasIn) {
    ScopedOverride blocked(winspool.DeletePrinterDriverExW,
                           [](LPWSTR, LPWSTR, LPWSTR, DWORD, DWORD) -> BOOL {
                               WaitForSingleObject(Stuck::release, INFINITE);
                               return TRUE;
                           });
    ScopedOverride report(
        advapi.ReportEventW,
        [](HANDLE, WORD, WORD, DWORD, PSID, WORD count, DWORD, LPCWSTR* strings, void*) -> BOOL {
            if (InterlockedIncrement(&Stuck::reports) == 1) {
                Stuck::event = std::wstring(strings[1]) + L"|" + strings[count - 1];
            }
            if (Stuck::inReport) {
                if (!Stuck::reporter) {
                    Stuck::reporter = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
                }
                WaitForSingleObject(Stuck::release, INFINITE);
            }
            return TRUE;
        });
    ScopedOverride end(kernel.TerminateProcess, [](HANDLE, UINT code) -> BOOL {
        Stuck::code = code;
        Stuck::startsAtEnd = FakeSpoolerService::starts;
        UnlockRunLog();  // the test goes on where the process would have ended
        SetEvent(Stuck::ended);
        return TRUE;
    });
    FakeSpoolerService spooler;
    DWORD before = runDeadlineMs;
    runDeadlineMs = 500;
    RestartSpooler(nullptr);  // a scope that ended leaves nothing to start
    RunPastTheDeadline(&StuckInTheSpooler);
    EXPECT_EQ(Stuck::code, UINT{kExitErrorsLogged});
    EXPECT_EQ(Stuck::startsAtEnd, 1);
    EXPECT_THAT(Stuck::event, testing::StartsWith(L"100|Zantorelle 2026\r\n>Check Spooler\r\n"));
    EXPECT_THAT(Stuck::event,
                testing::EndsWith(L"Error(28): The run did not end within 0 minutes: it was still "
                                  L"removing the printer driver" +
                                  ErrorTail(ERROR_TIMEOUT) + L"\r\n"));

    Stuck::inReport = true;
    RunPastTheDeadline([](InstallRun&) {});
    EXPECT_EQ(Stuck::code, UINT{kExitErrorsLogged});
    EXPECT_EQ(Stuck::reports, 1);
    EXPECT_THAT(Stuck::event, testing::Not(testing::HasSubstr(L"Error(28)")));

    DWORD reportMs = runReportMs;
    runReportMs = 200;
    RunPastTheDeadline(&StuckWithTheSpoolerStopped);
    Stuck::inReport = false;
    runReportMs = reportMs;
    runDeadlineMs = before;
    EXPECT_EQ(Stuck::code, UINT{kExitErrorsLogged});
    EXPECT_EQ(Stuck::startsAtEnd, 2);
    EXPECT_THAT(Stuck::event,
                testing::EndsWith(L"removing the printer driver" + ErrorTail(ERROR_TIMEOUT) +
                                  L"\r\n>Start the spooler the run had stopped\r\n"));
}

struct Scheduling {
    static inline std::vector<std::wstring> asked;
};

void ThreeLeftovers(InstallRun& run) {
    AddDeferredDelete(run.deferredDeletes, L"C:\\one.dll");
    AddDeferredDelete(run.deferredDeletes, L"C:\\refused.dll");
    AddDeferredDelete(run.deferredDeletes, L"C:\\three.dll");
}

TEST_F(RunsTest, LeftoversAreScheduledNewestFirstAndOnlySuccessesCount) {
    AllocationCounter blocks;
    ScopedOverride move(kernel.MoveFileExW, [](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
        EXPECT_EQ(to, nullptr);
        EXPECT_EQ(flags, DWORD{MOVEFILE_DELAY_UNTIL_REBOOT});
        Scheduling::asked.push_back(from);
        return lstrcmpW(from, L"C:\\refused.dll") != 0;
    });
    Scheduling::asked.clear();
    DWORD scheduled = 0;
    EXPECT_FALSE(RunWithProcedure(&ThreeLeftovers, Command::Install, nullptr, &scheduled));
    EXPECT_EQ(scheduled, 2u);
    EXPECT_THAT(Scheduling::asked,
                testing::ElementsAre(L"C:\\three.dll", L"C:\\refused.dll", L"C:\\one.dll"));
    EXPECT_EQ(Shown::dialogs, 0);
    EXPECT_EQ(blocks.GlobalBlocks(), 0);
}

}  // namespace
