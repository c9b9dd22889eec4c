#include <gmock/gmock.h>

#include "core/run_log.h"
#include "core/advapi_api.h"
#include "service/spooler_service.h"
#include "support/fake_spooler_service.h"
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

// Every start the manager is asked for fails as a running spooler's would.
class SpoolerServiceFaults : public testing::Test {
protected:
    SpoolerServiceFaults() { FakeSpoolerService::startError = ERROR_SERVICE_ALREADY_RUNNING; }
    ~SpoolerServiceFaults() override {
        EXPECT_EQ(FakeSpoolerService::shortPauses, 0);
        FreeCountedString(run_.logText);
    }

    void Restart() {
        SpoolerRestart guard = {};
        BeginSpoolerRestart(guard, &run_);
        EndSpoolerRestart(guard);
    }

    FakeSpoolerService fake_;
    InstallRun run_ = EmptyRun();
};

TEST_F(SpoolerServiceFaults, RestartStopsWaitsAndStartsWithoutErrors) {
    run_.logDepth = 1;
    Restart();
    EXPECT_EQ(LogOf(run_), L"  >Restart Spooler\r\n");
    EXPECT_EQ(run_.logDepth, 1);
    EXPECT_EQ(FakeSpoolerService::polls, 0);  // stopped within the first query
    EXPECT_EQ(FakeSpoolerService::starts, 1);
    EXPECT_EQ(FakeSpoolerService::closed, FakeSpoolerService::opened);
}

TEST_F(SpoolerServiceFaults, ManagerThatDoesNotOpenIsErrorOneAndStartsNothing) {
    FakeSpoolerService::openManager = false;
    Restart();
    EXPECT_EQ(LogOf(run_), L">Restart Spooler\r\nError(1): Can't open service manager." +
                               ErrorTail(ERROR_ACCESS_DENIED) + L"\r\n");
    EXPECT_EQ(FakeSpoolerService::starts, 0);
    EXPECT_EQ(run_.errorCount, 1);

    InstallRun check = EmptyRun();
    EXPECT_FALSE(CheckSpooler(check));
    EXPECT_EQ(LogOf(check), L">Check Spooler\r\n  Error(1): Can't open service manager." +
                                ErrorTail(ERROR_ACCESS_DENIED) + L"\r\n");
    EXPECT_EQ(check.logDepth, 0);
    FreeCountedString(check.logText);
}

TEST_F(SpoolerServiceFaults, ServiceThatDoesNotOpenIsErrorTwo) {
    FakeSpoolerService::openService = false;
    Restart();
    EXPECT_EQ(LogOf(run_), L">Restart Spooler\r\nError(2): Can't open the spooler" +
                               ErrorTail(ERROR_SERVICE_DOES_NOT_EXIST) + L"\r\n");
    EXPECT_EQ(FakeSpoolerService::starts, 0);
    EXPECT_EQ(FakeSpoolerService::closed, FakeSpoolerService::opened);

    InstallRun check = EmptyRun();
    EXPECT_FALSE(CheckSpooler(check));
    EXPECT_EQ(LogOf(check), L">Check Spooler\r\n  Error(2): Can't open the spooler" +
                                ErrorTail(ERROR_SERVICE_DOES_NOT_EXIST) + L"\r\n");
    FreeCountedString(check.logText);
}

TEST_F(SpoolerServiceFaults, StopOfAStoppedSpoolerIsSilentAndTheEndStartsIt) {
    FakeSpoolerService::state = SERVICE_STOPPED;
    FakeSpoolerService::controlError = ERROR_SERVICE_NOT_ACTIVE;
    Restart();
    EXPECT_EQ(LogOf(run_), L">Restart Spooler\r\n");
    EXPECT_EQ(run_.errorCount, 0);
    EXPECT_EQ(FakeSpoolerService::starts, 1);
}

TEST_F(SpoolerServiceFaults, OtherControlFailureIsErrorFiveInDecimalAndHex) {
    FakeSpoolerService::controlError = ERROR_ACCESS_DENIED;
    Restart();
    EXPECT_EQ(LogOf(run_),
              L">Restart Spooler\r\nError(5): ControlService failed with code 5 (0x5)" +
                  ErrorTail(ERROR_ACCESS_DENIED) + L"\r\n");
    EXPECT_EQ(FakeSpoolerService::starts, 1);

    InstallRun other = EmptyRun();
    FakeSpoolerService::controlError = ERROR_DEPENDENT_SERVICES_RUNNING;  // 1051
    SpoolerRestart guard = {};
    BeginSpoolerRestart(guard, &other);
    EndSpoolerRestart(guard);
    EXPECT_THAT(LogOf(other), testing::HasSubstr(L"code 1051 (0x41b)"));
    FreeCountedString(other.logText);
}

TEST_F(SpoolerServiceFaults, SpoolerThatNeverStopsIsErrorThreeAfterFiftyPauses) {
    FakeSpoolerService::stateAfterStop = SERVICE_STOP_PENDING;
    SetLastError(0);
    Restart();
    EXPECT_EQ(FakeSpoolerService::polls, 50);
    EXPECT_EQ(LogOf(run_), L">Restart Spooler\r\nError(3): Can't stop the spooler\r\n");
    EXPECT_EQ(FakeSpoolerService::starts, 1);  // the end still starts it
}

TEST_F(SpoolerServiceFaults, SpoolerThatNeverStartsIsErrorFour) {
    FakeSpoolerService::stateAfterStart = SERVICE_START_PENDING;
    Restart();
    EXPECT_EQ(FakeSpoolerService::polls, 50);
    EXPECT_THAT(LogOf(run_),
                testing::StartsWith(L">Restart Spooler\r\nError(4): Can't start the spooler"));
    EXPECT_EQ(run_.errorCount, 1);

    FakeSpoolerService::state = SERVICE_STOPPED;
    FakeSpoolerService::polls = 0;
    InstallRun check = EmptyRun();
    EXPECT_FALSE(CheckSpooler(check));
    EXPECT_EQ(FakeSpoolerService::polls, 50);
    EXPECT_THAT(LogOf(check),
                testing::StartsWith(L">Check Spooler\r\n  Error(4): Can't start the spooler"));
    EXPECT_EQ(check.errorCount, 1);
    FreeCountedString(check.logText);

    // A run ended from outside with the spooler stopped: its start fails alike.
    SpoolerRestart open = {};
    BeginSpoolerRestart(open, nullptr);
    FakeSpoolerService::polls = 0;
    InstallRun ended = EmptyRun();
    StartSpoolerLeftStopped(ended);
    EXPECT_EQ(FakeSpoolerService::polls, 50);
    EXPECT_THAT(LogOf(ended), testing::StartsWith(L">Start the spooler the run had stopped\r\n"
                                                  L"Error(4): Can't start the spooler"));
    EndSpoolerRestart(open);
    EXPECT_EQ(FakeSpoolerService::closed, FakeSpoolerService::opened);
    FreeCountedString(ended.logText);
}

TEST_F(SpoolerServiceFaults, GuardWithoutARunLogsNothing) {
    FakeSpoolerService::stateAfterStop = SERVICE_STOP_PENDING;
    FakeSpoolerService::stateAfterStart = SERVICE_START_PENDING;
    FakeSpoolerService::controlError = ERROR_ACCESS_DENIED;
    SpoolerRestart guard = {};
    BeginSpoolerRestart(guard, nullptr);
    EndSpoolerRestart(guard);
    EXPECT_EQ(FakeSpoolerService::starts, 1);
    EXPECT_EQ(FakeSpoolerService::closed, 2);

    FakeSpoolerService::openManager = false;
    SpoolerRestart none = {};
    BeginSpoolerRestart(none, nullptr);
    EndSpoolerRestart(none);
    EXPECT_EQ(FakeSpoolerService::starts, 1);
}

TEST_F(SpoolerServiceFaults, CheckOfAStateThatCannotBeReadStartsNothing) {
    ScopedOverride failQuery(advapi.QueryServiceStatus,
                             [](SC_HANDLE, LPSERVICE_STATUS) -> BOOL { return FALSE; });
    EXPECT_TRUE(CheckSpooler(run_));
    EXPECT_EQ(LogOf(run_), L">Check Spooler\r\n");
    EXPECT_EQ(FakeSpoolerService::starts, 0);
    EXPECT_EQ(FakeSpoolerService::closed, 2);
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
