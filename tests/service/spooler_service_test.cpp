#include <gmock/gmock.h>

#include "core/kernel_api.h"
#include "core/run_log.h"
#include "service/service_api.h"
#include "service/spooler_service.h"
#include "support/scoped_override.h"
#include "support/test_support.h"

namespace {

DWORD RealSpoolerState() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"spooler", SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    QueryServiceStatus(service, &status);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return status.dwCurrentState;
}

void StopRealSpooler() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"spooler", SERVICE_STOP | SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    for (int i = 0; i < 100 && RealSpoolerState() != SERVICE_STOPPED; ++i) {
        Sleep(20);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

// A scripted service manager: fake handles, a state machine the test sets,
// and counts of what the code under test did. Sleeps are counted, not slept.
struct FakeServices {
    static inline DWORD state;           // what QueryServiceStatus reports
    static inline DWORD stateAfterStop;  // state once ControlService was called
    static inline DWORD stateAfterStart;
    static inline DWORD controlError;  // 0: ControlService succeeds
    static inline bool openManager;
    static inline bool openService;
    static inline int sleeps;
    static inline int starts;
    static inline int opened;
    static inline int closed;
};

class SpoolerServiceFaults : public testing::Test {
protected:
    SpoolerServiceFaults()
        : manager_(services.OpenSCManagerW,
                   [](LPCWSTR, LPCWSTR, DWORD) -> SC_HANDLE {
                       if (!FakeServices::openManager) {
                           SetLastError(ERROR_ACCESS_DENIED);
                           return nullptr;
                       }
                       ++FakeServices::opened;
                       return reinterpret_cast<SC_HANDLE>(0x1000);
                   }),
          service_(services.OpenServiceW,
                   [](SC_HANDLE, LPCWSTR name, DWORD) -> SC_HANDLE {
                       if (!FakeServices::openService || lstrcmpW(name, L"spooler") != 0) {
                           SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
                           return nullptr;
                       }
                       ++FakeServices::opened;
                       return reinterpret_cast<SC_HANDLE>(0x2000);
                   }),
          control_(services.ControlService,
                   [](SC_HANDLE, DWORD, LPSERVICE_STATUS) -> BOOL {
                       FakeServices::state = FakeServices::stateAfterStop;
                       SetLastError(FakeServices::controlError);
                       return FakeServices::controlError == 0;
                   }),
          query_(services.QueryServiceStatus,
                 [](SC_HANDLE, LPSERVICE_STATUS status) -> BOOL {
                     status->dwCurrentState = FakeServices::state;
                     return TRUE;
                 }),
          start_(services.StartServiceW,
                 [](SC_HANDLE, DWORD, LPCWSTR*) -> BOOL {
                     ++FakeServices::starts;
                     FakeServices::state = FakeServices::stateAfterStart;
                     SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
                     return FALSE;
                 }),
          close_(services.CloseServiceHandle,
                 [](SC_HANDLE) -> BOOL {
                     ++FakeServices::closed;
                     return TRUE;
                 }),
          sleep_(kernel.Sleep, [](DWORD ms) {
              EXPECT_EQ(ms, 200u);
              ++FakeServices::sleeps;
          }) {
        FakeServices::state = SERVICE_RUNNING;
        FakeServices::stateAfterStop = SERVICE_STOPPED;
        FakeServices::stateAfterStart = SERVICE_RUNNING;
        FakeServices::controlError = 0;
        FakeServices::openManager = true;
        FakeServices::openService = true;
        FakeServices::sleeps = 0;
        FakeServices::starts = 0;
        FakeServices::opened = 0;
        FakeServices::closed = 0;
    }
    ~SpoolerServiceFaults() override { FreeCountedString(run_.logText); }

    void Restart() {
        SpoolerRestart guard = {};
        BeginSpoolerRestart(guard, &run_);
        EndSpoolerRestart(guard);
    }

    InstallRun run_ = EmptyRun();
    ScopedOverride<decltype(services.OpenSCManagerW)> manager_;
    ScopedOverride<decltype(services.OpenServiceW)> service_;
    ScopedOverride<decltype(services.ControlService)> control_;
    ScopedOverride<decltype(services.QueryServiceStatus)> query_;
    ScopedOverride<decltype(services.StartServiceW)> start_;
    ScopedOverride<decltype(services.CloseServiceHandle)> close_;
    ScopedOverride<decltype(kernel.Sleep)> sleep_;
};

std::wstring Tail(DWORD code) {
    wchar_t* text = SystemErrorText(code);
    std::wstring tail = text ? L" - (" + std::wstring(text) + L")" : L" - ( No Description )";
    LocalFree(text);
    return tail;
}

TEST_F(SpoolerServiceFaults, RestartStopsWaitsAndStartsWithoutErrors) {
    run_.logDepth = 1;
    Restart();
    EXPECT_EQ(LogOf(run_), L"  >Restart Spooler\r\n");
    EXPECT_EQ(run_.logDepth, 1);
    EXPECT_EQ(FakeServices::sleeps, 0);  // stopped within the first query
    EXPECT_EQ(FakeServices::starts, 1);
    EXPECT_EQ(FakeServices::closed, FakeServices::opened);
}

TEST_F(SpoolerServiceFaults, ManagerThatDoesNotOpenIsErrorOneAndStartsNothing) {
    FakeServices::openManager = false;
    Restart();
    EXPECT_EQ(LogOf(run_), L">Restart Spooler\r\nError(1): Can't open service manager." +
                               Tail(ERROR_ACCESS_DENIED) + L"\r\n");
    EXPECT_EQ(FakeServices::starts, 0);
    EXPECT_EQ(run_.errorCount, 1);

    InstallRun check = EmptyRun();
    EXPECT_FALSE(CheckSpooler(check));
    EXPECT_EQ(LogOf(check), L">Check Spooler\r\n  Error(1): Can't open service manager." +
                                Tail(ERROR_ACCESS_DENIED) + L"\r\n");
    EXPECT_EQ(check.logDepth, 0);
    FreeCountedString(check.logText);
}

TEST_F(SpoolerServiceFaults, ServiceThatDoesNotOpenIsErrorTwo) {
    FakeServices::openService = false;
    Restart();
    EXPECT_EQ(LogOf(run_), L">Restart Spooler\r\nError(2): Can't open the spooler" +
                               Tail(ERROR_SERVICE_DOES_NOT_EXIST) + L"\r\n");
    EXPECT_EQ(FakeServices::starts, 0);
    EXPECT_EQ(FakeServices::closed, FakeServices::opened);

    InstallRun check = EmptyRun();
    EXPECT_FALSE(CheckSpooler(check));
    EXPECT_EQ(LogOf(check), L">Check Spooler\r\n  Error(2): Can't open the spooler" +
                                Tail(ERROR_SERVICE_DOES_NOT_EXIST) + L"\r\n");
    FreeCountedString(check.logText);
}

TEST_F(SpoolerServiceFaults, StopOfAStoppedSpoolerIsSilentAndTheEndStartsIt) {
    FakeServices::state = SERVICE_STOPPED;
    FakeServices::controlError = ERROR_SERVICE_NOT_ACTIVE;
    Restart();
    EXPECT_EQ(LogOf(run_), L">Restart Spooler\r\n");
    EXPECT_EQ(run_.errorCount, 0);
    EXPECT_EQ(FakeServices::starts, 1);
}

TEST_F(SpoolerServiceFaults, OtherControlFailureIsErrorFiveInDecimalAndHex) {
    FakeServices::controlError = ERROR_ACCESS_DENIED;
    Restart();
    EXPECT_EQ(LogOf(run_),
              L">Restart Spooler\r\nError(5): ControlService failed with code 5 (0x5)" +
                  Tail(ERROR_ACCESS_DENIED) + L"\r\n");
    EXPECT_EQ(FakeServices::starts, 1);

    InstallRun other = EmptyRun();
    FakeServices::controlError = ERROR_DEPENDENT_SERVICES_RUNNING;  // 1051
    SpoolerRestart guard = {};
    BeginSpoolerRestart(guard, &other);
    EndSpoolerRestart(guard);
    EXPECT_THAT(LogOf(other), testing::HasSubstr(L"code 1051 (0x41b)"));
    FreeCountedString(other.logText);
}

TEST_F(SpoolerServiceFaults, SpoolerThatNeverStopsIsErrorThreeAfterFiftyPauses) {
    FakeServices::stateAfterStop = SERVICE_STOP_PENDING;
    SetLastError(0);
    Restart();
    EXPECT_EQ(FakeServices::sleeps, 50);
    EXPECT_EQ(LogOf(run_), L">Restart Spooler\r\nError(3): Can't stop the spooler\r\n");
    EXPECT_EQ(FakeServices::starts, 1);  // the end still starts it
}

TEST_F(SpoolerServiceFaults, SpoolerThatNeverStartsIsErrorFour) {
    FakeServices::stateAfterStart = SERVICE_START_PENDING;
    Restart();
    EXPECT_EQ(FakeServices::sleeps, 50);
    EXPECT_THAT(LogOf(run_),
                testing::StartsWith(L">Restart Spooler\r\nError(4): Can't start the spooler"));
    EXPECT_EQ(run_.errorCount, 1);

    FakeServices::state = SERVICE_STOPPED;
    FakeServices::sleeps = 0;
    InstallRun check = EmptyRun();
    EXPECT_FALSE(CheckSpooler(check));
    EXPECT_EQ(FakeServices::sleeps, 50);
    EXPECT_THAT(LogOf(check),
                testing::StartsWith(L">Check Spooler\r\n  Error(4): Can't start the spooler"));
    EXPECT_EQ(check.errorCount, 1);
    FreeCountedString(check.logText);
}

TEST_F(SpoolerServiceFaults, GuardWithoutARunLogsNothing) {
    FakeServices::stateAfterStop = SERVICE_STOP_PENDING;
    FakeServices::stateAfterStart = SERVICE_START_PENDING;
    FakeServices::controlError = ERROR_ACCESS_DENIED;
    SpoolerRestart guard = {};
    BeginSpoolerRestart(guard, nullptr);
    EndSpoolerRestart(guard);
    EXPECT_EQ(FakeServices::starts, 1);
    EXPECT_EQ(FakeServices::closed, 2);

    FakeServices::openManager = false;
    SpoolerRestart none = {};
    BeginSpoolerRestart(none, nullptr);
    EndSpoolerRestart(none);
    EXPECT_EQ(FakeServices::starts, 1);
}

TEST_F(SpoolerServiceFaults, CheckOfAStateThatCannotBeReadStartsNothing) {
    ScopedOverride failQuery(services.QueryServiceStatus,
                             [](SC_HANDLE, LPSERVICE_STATUS) -> BOOL { return FALSE; });
    EXPECT_TRUE(CheckSpooler(run_));
    EXPECT_EQ(LogOf(run_), L">Check Spooler\r\n");
    EXPECT_EQ(FakeServices::starts, 0);
    EXPECT_EQ(FakeServices::closed, 2);
}

// Wine's real "Spooler" service.
TEST(SpoolerService, CheckStartsAStoppedSpoolerWithOnlyItsHeader) {
    StopRealSpooler();
    ASSERT_EQ(RealSpoolerState(), DWORD{SERVICE_STOPPED});
    InstallRun run = EmptyRun();
    EXPECT_TRUE(CheckSpooler(run));
    EXPECT_EQ(LogOf(run), L">Check Spooler\r\n");
    EXPECT_EQ(RealSpoolerState(), DWORD{SERVICE_RUNNING});
    EXPECT_TRUE(CheckSpooler(run));
    EXPECT_EQ(LogOf(run), L">Check Spooler\r\n>Check Spooler\r\n");
    FreeCountedString(run.logText);
}

TEST(SpoolerService, GuardStopsTheSpoolerForItsScopeAndStartsItAtTheEnd) {
    InstallRun run = EmptyRun();
    CheckSpooler(run);
    {
        ScopedSpoolerRestart restart(&run);
        EXPECT_EQ(RealSpoolerState(), DWORD{SERVICE_STOPPED});
    }
    EXPECT_EQ(RealSpoolerState(), DWORD{SERVICE_RUNNING});
    EXPECT_EQ(LogOf(run), L">Check Spooler\r\n>Restart Spooler\r\n");
    EXPECT_EQ(run.errorCount, 0);

    StopRealSpooler();
    { ScopedSpoolerRestart restart(&run); }
    EXPECT_EQ(RealSpoolerState(), DWORD{SERVICE_RUNNING});
    EXPECT_EQ(run.errorCount, 0);
    FreeCountedString(run.logText);
}

}  // namespace
