#include <gmock/gmock.h>

#include "app/entry.h"
#include "app/run_setup.h"
#include "core/kernel_api.h"
#include "core/run_log.h"
#include "spooler/winspool_api.h"
#include "support/scoped_override.h"
#include "support/test_support.h"

namespace {

std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p = path;
    return p.substr(0, p.find_last_of(L"\\/") + 1);
}

TEST(RunSetup, OpensTheLogAndFindsTheFolders) {
    AllocationCounter blocks;
    InstallRun run;
    memset(&run, 0xCD, sizeof(run));  // set-up must not look at what was there
    InitInstallRun(run);

    EXPECT_EQ(LogOf(run), L"Zantorelle 2026\r\n>Check Spooler\r\n");
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(run.logDepth, 0);
    EXPECT_STREQ(run.environment, L"Windows x64");
    EXPECT_STREQ(run.monitorDll, L"zrlmon64.dll");
    EXPECT_STREQ(run.driverDll, L"zrldrv64.dll");
    EXPECT_STREQ(run.uiDll, L"zrlui64.dll");
    EXPECT_STREQ(run.helpFile, L"zrlhelp.chm");
    EXPECT_EQ(run.checkMonitorVersion, 0);
    EXPECT_EQ(run.InstallMonitor, 1);
    EXPECT_EQ(run.CopyMonitor, 1);
    EXPECT_EQ(run.deferredDeletes, nullptr);
    EXPECT_EQ(run.savedPrinters, nullptr);
    EXPECT_EQ(run.movedPrinters, nullptr);

    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(std::wstring(CountedText(run.systemDir)), std::wstring(system) + L"\\");
    EXPECT_EQ(std::wstring(CountedText(run.sourceDir)), ExeDirectory());

    wchar_t drivers[MAX_PATH];
    DWORD needed = 0;
    ASSERT_TRUE(winspool.GetPrinterDriverDirectoryW(nullptr, const_cast<LPWSTR>(L"Windows x64"), 1,
                                                    reinterpret_cast<BYTE*>(drivers),
                                                    sizeof(drivers), &needed));
    EXPECT_EQ(std::wstring(CountedText(run.driverDir)), std::wstring(drivers) + L"\\");

    FreeInstallRun(run);
    EXPECT_EQ(run.logText.block, nullptr);
    EXPECT_EQ(run.printers, nullptr);
    EXPECT_EQ(run.printerCount, 0u);
    EXPECT_EQ(blocks.HeapBlocks(), 0);
    EXPECT_EQ(blocks.GlobalBlocks(), 0);
}

TEST(RunSetup, DriverDirectoryThatCannotBeReadIsErrorSixOnce) {
    AllocationCounter blocks;
    {
        ScopedOverride refuse(winspool.GetPrinterDriverDirectoryW,
                              [](LPWSTR, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD) -> BOOL {
                                  SetLastError(ERROR_INVALID_ENVIRONMENT);
                                  return FALSE;
                              });
        InstallRun run;
        InitInstallRun(run);
        EXPECT_EQ(LogOf(run),
                  L"Zantorelle 2026\r\n>Check Spooler\r\n"
                  L"Error(6): Can`t retrieve printer driver directory." +
                      ErrorTail(ERROR_INVALID_ENVIRONMENT) + L"\r\n");
        EXPECT_EQ(run.errorCount, 1);
        EXPECT_EQ(run.driverDir.block, nullptr);
        EXPECT_STREQ(run.helpFile, L"zrlhelp.chm");
        FreeInstallRun(run);
    }
    {
        // The size query works, the read itself fails.
        ScopedOverride second(
            winspool.GetPrinterDriverDirectoryW,
            [](LPWSTR, LPWSTR, DWORD, LPBYTE buffer, DWORD, LPDWORD needed) -> BOOL {
                *needed = 40;
                SetLastError(buffer ? ERROR_ACCESS_DENIED : ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            });
        InstallRun run;
        InitInstallRun(run);
        EXPECT_THAT(LogOf(run),
                    testing::EndsWith(L"Error(6): Can`t retrieve printer driver directory." +
                                      ErrorTail(ERROR_ACCESS_DENIED) + L"\r\n"));
        EXPECT_EQ(run.errorCount, 1);
        FreeInstallRun(run);
    }
    {
        // A size query that succeeds has nothing to read: no folder, no error.
        ScopedOverride empty(
            winspool.GetPrinterDriverDirectoryW,
            [](LPWSTR, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD) -> BOOL { return TRUE; });
        InstallRun run;
        InitInstallRun(run);
        EXPECT_EQ(run.errorCount, 0);
        EXPECT_EQ(run.driverDir.block, nullptr);
        FreeInstallRun(run);
    }
    EXPECT_EQ(blocks.HeapBlocks(), 0);
    EXPECT_EQ(blocks.GlobalBlocks(), 0);
}

// The spooler's driver folder `dir`, given by the two-call protocol; the
// size of the block it is read into is kept in `driverBlockBytes`.
SIZE_T driverBlockBytes;
BOOL AnswerDriverFolder(const wchar_t* dir, LPBYTE buffer, LPDWORD needed) {
    *needed = (lstrlenW(dir) + 1) * sizeof(wchar_t);
    if (!buffer) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    driverBlockBytes = GlobalSize(buffer);
    memcpy(buffer, dir, *needed);
    return TRUE;
}

TEST(RunSetup, FoldersThatEndInABackslashGetNoSecondOne) {
    ScopedOverride drivers(winspool.GetPrinterDriverDirectoryW,
                           [](LPWSTR, LPWSTR, DWORD, LPBYTE buffer, DWORD, LPDWORD needed) {
                               return AnswerDriverFolder(L"C:\\drivers\\", buffer, needed);
                           });
    ScopedOverride system(kernel.GetSystemDirectoryW, [](LPWSTR buffer, UINT) -> UINT {
        lstrcpyW(buffer, L"C:\\sys\\");
        return 7;
    });
    ScopedOverride module(kernel.GetModuleFileNameW, [](HMODULE, LPWSTR buffer, DWORD) -> DWORD {
        lstrcpyW(buffer, L"D:\\zrlsetup.exe");
        return 15;
    });
    InstallRun run;
    InitInstallRun(run);
    EXPECT_STREQ(CountedText(run.driverDir), L"C:\\drivers\\");
    EXPECT_STREQ(CountedText(run.systemDir), L"C:\\sys\\");
    EXPECT_STREQ(CountedText(run.sourceDir), L"D:\\");
    FreeInstallRun(run);

    // Without one, the block it is read into has room for it beyond what the
    // spooler asked for.
    ScopedOverride bare(winspool.GetPrinterDriverDirectoryW,
                        [](LPWSTR, LPWSTR, DWORD, LPBYTE buffer, DWORD, LPDWORD needed) {
                            return AnswerDriverFolder(L"C:\\drv", buffer, needed);
                        });
    driverBlockBytes = 0;
    InitInstallRun(run);
    EXPECT_STREQ(CountedText(run.driverDir), L"C:\\drv\\");
    EXPECT_GE(driverBlockBytes, sizeof(L"C:\\drv\\"));  // GlobalSize may round up
    FreeInstallRun(run);
}

TEST(RunSetup, SystemDirectoryThatCannotBeReadIsErrorSevenAndPathWithoutSeparatorIsNone) {
    ScopedOverride system(kernel.GetSystemDirectoryW, [](LPWSTR, UINT) -> UINT {
        SetLastError(0);
        return 0;
    });
    ScopedOverride module(kernel.GetModuleFileNameW, [](HMODULE, LPWSTR buffer, DWORD) -> DWORD {
        lstrcpyW(buffer, L"zrlsetup.exe");
        return 12;
    });
    InstallRun run;
    InitInstallRun(run);
    EXPECT_EQ(
        LogOf(run),
        L"Zantorelle 2026\r\n>Check Spooler\r\nError(7): Can`t retrieve system directory.\r\n");
    EXPECT_EQ(run.errorCount, 1);
    EXPECT_EQ(run.systemDir.block, nullptr);
    EXPECT_EQ(run.sourceDir.block, nullptr);
    FreeInstallRun(run);
}

}  // namespace
