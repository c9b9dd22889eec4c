#include <gmock/gmock.h>

#include "app/procedures.h"
#include "core/deferred_delete.h"
#include "core/run_log.h"
#include "service/service_api.h"
#include "support/scoped_override.h"
#include "support/test_support.h"
#include "../files/pending_value.h"

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

}  // namespace
