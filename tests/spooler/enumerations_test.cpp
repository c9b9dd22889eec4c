#include <gmock/gmock.h>

#include <string>

#include "core/counted_string.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "spooler/enumerations.h"
#include "spooler/winspool_api.h"
#include "spooler/spooler_scratch.h"
#include "support/scoped_override.h"
#include "support/test_support.h"
#include "core/handles.h"

namespace {

constexpr DWORD kNoMemory = static_cast<DWORD>(E_OUTOFMEMORY);
constexpr wchar_t kPrinterA[] = L"Zrl Enum A";
constexpr wchar_t kPrinterB[] = L"Zrl Enum B";

HGLOBAL WINAPI NoGlobalMemory(UINT, SIZE_T) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

std::wstring StandIn(const wchar_t* name) {
    return BuildDir() + L"\\stand-ins\\" + name;
}

std::wstring ThisProgram() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring NameAt(const SpoolerEnumBuffer& list, int index) {
    return static_cast<MONITOR_INFO_2W*>(list.buffer)[index].pName;
}

class EnumerateMonitorsTest : public testing::Test {
protected:
    void TearDown() override { FreeCountedString(run.logText); }
    InstallRun run = EmptyRun();
    SpoolerEnumBuffer list = {reinterpret_cast<void*>(1), 0, 7};
};

TEST_F(EnumerateMonitorsTest, FreshPrefixHasOnlyTheLocalPortMonitor) {
    AllocationCounter counter;
    EnumerateMonitors(list, run);
    ASSERT_NE(list.buffer, nullptr);
    EXPECT_EQ(list.level, 2);
    ASSERT_EQ(list.count, 1u);
    EXPECT_EQ(NameAt(list, 0), L"Local Port");
    EXPECT_EQ(FindProductMonitor(list), -1);
    EXPECT_EQ(LogOf(run), L"");
    EXPECT_EQ(counter.GlobalBlocks(), 1);
    FreeGlobal(list.buffer);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(EnumerateMonitorsTest, FirstCallSucceedingWithoutBufferGivesAnEmptyList) {
    AllocationCounter counter;
    ScopedOverride nothing(winspool.EnumMonitorsW,
                           [](LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD needed, LPDWORD count) -> BOOL {
                               *needed = 0;
                               *count = 3;
                               return TRUE;
                           });
    EnumerateMonitors(list, run);
    EXPECT_EQ(list.buffer, nullptr);
    EXPECT_EQ(list.level, 2);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(FindProductMonitor(list), -1);
    EXPECT_EQ(LogOf(run), L"1. EnumMonitors returns true\r\n");
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

BOOL WINAPI MonitorsUnavailable(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD count) {
    *count = 2;
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return FALSE;
}

TEST_F(EnumerateMonitorsTest, FirstCallFailingLogsTheSystemTextWithItsLineBreak) {
    AllocationCounter counter;
    ScopedOverride stopped(winspool.EnumMonitorsW, &MonitorsUnavailable);
    run.logDepth = 1;
    SetLastError(kPoison);
    EnumerateMonitors(list, run);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(list.buffer, nullptr);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(run.logDepth, 1);
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(LogOf(run), L"  2. EnumMonitors  failed with code: RPC server unavailable.\r\n\r\n");
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(EnumerateMonitorsTest, ErrorWithoutSystemTextGetsTheStandInText) {
    ScopedOverride odd(winspool.EnumMonitorsW,
                       [](LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD) -> BOOL {
                           SetLastError(0x20000001);  // customer code: no system text
                           return FALSE;
                       });
    EnumerateMonitors(list, run);
    EXPECT_EQ(GetLastError(), 0x20000001u);
    EXPECT_EQ(list.buffer, nullptr);
    EXPECT_EQ(LogOf(run), L"2. EnumMonitors  failed with code: No Error or no description\r\n");
}

TEST_F(EnumerateMonitorsTest, NoMemoryForTheBufferIsLoggedAndSetsOutOfMemory) {
    AllocationCounter counter;
    ScopedOverride noMemory(kernel.GlobalAlloc, &NoGlobalMemory);
    SetLastError(kPoison);
    EnumerateMonitors(list, run);
    EXPECT_EQ(GetLastError(), kNoMemory);
    EXPECT_EQ(list.buffer, nullptr);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(LogOf(run), L"3. EnumMonitors - can't allocate memory for buffer\r\n");
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

// The spooler's state grew between the two calls.
TEST_F(EnumerateMonitorsTest, SecondCallFailingFreesTheBlockAndLogs) {
    static decltype(winspool.EnumMonitorsW) real;
    static int calls;
    real = winspool.EnumMonitorsW;
    calls = 0;
    AllocationCounter counter;
    ScopedOverride grown(winspool.EnumMonitorsW,
                         [](LPWSTR server, DWORD level, LPBYTE block, DWORD size, LPDWORD needed,
                            LPDWORD count) -> BOOL {
                             if (++calls == 1) {
                                 return real(server, level, block, size, needed, count);
                             }
                             *needed = size + 64;
                             SetLastError(ERROR_INSUFFICIENT_BUFFER);
                             return FALSE;
                         });
    SetLastError(kPoison);
    EnumerateMonitors(list, run);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(list.buffer, nullptr);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(LogOf(run), L"3. EnumMonitors  failed with code: Insufficient buffer.\r\n\r\n");
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST(ProductMonitor, RegisteredStandInIsFoundAndDeleted) {
    std::wstring dll = SetupDir() + L"\\" + kMonitorDll;
    if (!FileExists(dll)) {
        dll = StandIn(kMonitorDll);
    }
    if (!FileExists(dll)) {
        GTEST_SKIP() << "no stand-in monitor at " << std::string(dll.begin(), dll.end());
    }
    InstallRun run = EmptyRun();
    {
        SpoolerScratch scratch;
        ASSERT_TRUE(scratch.AddMonitor(dll));
        SpoolerEnumBuffer list;
        EnumerateMonitors(list, run);
        UniqueGlobal held(list.buffer);
        int index = FindProductMonitor(list);
        ASSERT_GE(index, 0);
        EXPECT_EQ(NameAt(list, index), kMonitorName);
        for (int i = 0; i < index; ++i) {
            EXPECT_NE(NameAt(list, i), kMonitorName);
        }

        SetLastError(kPoison);
        EXPECT_TRUE(DeleteProductMonitor(kEnvironment));
        SpoolerEnumBuffer after;
        EnumerateMonitors(after, run);
        UniqueGlobal heldAfter(after.buffer);
        EXPECT_EQ(FindProductMonitor(after), -1);
        EXPECT_EQ(after.count, list.count - 1);
    }
    EXPECT_EQ(LogOf(run), L"");
    FreeCountedString(run.logText);
}

TEST(ProductMonitor, DeletingAMonitorThatIsNotThereReportsTheSpoolersError) {
    SetLastError(kPoison);
    EXPECT_FALSE(DeleteProductMonitor(kEnvironment));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINT_MONITOR));
}

MONITOR_INFO_2W Monitor2(const wchar_t* name) {
    return {const_cast<LPWSTR>(name), const_cast<LPWSTR>(L"Windows x64"),
            const_cast<LPWSTR>(L"x.dll")};
}

TEST(FindProductMonitor, FindsTheThirdRecordInLevelTwoAndLevelOneLists) {
    MONITOR_INFO_2W two[] = {Monitor2(L"Local Port"), Monitor2(L"Standard TCP/IP Port"),
                             Monitor2(L"Zantorelle:"), Monitor2(L"USB Monitor")};
    EXPECT_EQ(FindProductMonitor({two, 2, 4}), 2);
    MONITOR_INFO_1W one[] = {{const_cast<LPWSTR>(L"Local Port")},
                             {const_cast<LPWSTR>(L"Standard TCP/IP Port")},
                             {const_cast<LPWSTR>(L"Zantorelle:")}};
    EXPECT_EQ(FindProductMonitor({one, 1, 3}), 2);
}

TEST(FindProductMonitor, OnlyTheExactNameMatchesAndTheFirstMatchWins) {
    MONITOR_INFO_2W nearNames[] = {Monitor2(L"zantorelle:"),  Monitor2(L"ZANTORELLE:"),
                                   Monitor2(L"Zantorelle"),   Monitor2(L"Zantorelle:x"),
                                   Monitor2(L"Zantorelle: "), Monitor2(nullptr),
                                   Monitor2(L" Zantorelle:")};
    EXPECT_EQ(FindProductMonitor({nearNames, 2, 7}), -1);

    MONITOR_INFO_2W twice[] = {Monitor2(L"Zantorelle"), Monitor2(L"Zantorelle:"),
                               Monitor2(L"Zantorelle:")};
    EXPECT_EQ(FindProductMonitor({twice, 2, 3}), 1);
}

TEST(FindProductMonitor, EmptyListsAndOtherLevelsFindNothing) {
    MONITOR_INFO_2W only[] = {Monitor2(L"Zantorelle:")};
    EXPECT_EQ(FindProductMonitor({only, 2, 0}), -1);
    EXPECT_EQ(FindProductMonitor({nullptr, 2, 0}), -1);
    EXPECT_EQ(FindProductMonitor({only, 0, 1}), -1);
    EXPECT_EQ(FindProductMonitor({only, 3, 1}), -1);
}

// A list of `n` zero-filled records of one level with the product's name in
// the last one: a walk that steps by the wrong record size reads a name from
// the wrong place and misses it.
template <typename Info>
int FindInLevel(INT32 level, const wchar_t* lastName) {
    Info records[3] = {};
    records[0].pName = const_cast<LPWSTR>(L"Microsoft XPS Document Writer");
    records[1].pName = const_cast<LPWSTR>(L"Zantorelle Printer");
    records[2].pName = const_cast<LPWSTR>(lastName);
    return FindProductDriver({records, level, 3});
}

TEST(FindProductDriver, EveryLevelFromOneToSixFindsTheDriverAtItsIndex) {
    EXPECT_EQ(FindInLevel<DRIVER_INFO_1W>(1, kDriverName), 2);
    EXPECT_EQ(FindInLevel<DRIVER_INFO_2W>(2, kDriverName), 2);
    EXPECT_EQ(FindInLevel<DRIVER_INFO_3W>(3, kDriverName), 2);
    EXPECT_EQ(FindInLevel<DRIVER_INFO_4W>(4, kDriverName), 2);
    EXPECT_EQ(FindInLevel<DRIVER_INFO_5W>(5, kDriverName), 2);
    EXPECT_EQ(FindInLevel<DRIVER_INFO_6W>(6, kDriverName), 2);
}

TEST(FindProductDriver, LevelsZeroAndSevenAndNearNamesFindNothing) {
    EXPECT_EQ(FindInLevel<DRIVER_INFO_6W>(0, kDriverName), -1);
    EXPECT_EQ(FindInLevel<DRIVER_INFO_6W>(7, kDriverName), -1);
    EXPECT_EQ(FindInLevel<DRIVER_INFO_3W>(3, L"Zantorelle printer "), -1);
    EXPECT_EQ(FindInLevel<DRIVER_INFO_3W>(3, L"Zantorelle"), -1);
    EXPECT_EQ(FindInLevel<DRIVER_INFO_3W>(3, nullptr), -1);
}

class SpoolerEnumerationTest : public testing::Test {
protected:
    SpoolerScratch scratch;
};

TEST_F(SpoolerEnumerationTest, DriversOfAPrefixWithoutDriversIsAnEmptyList) {
    AllocationCounter counter;
    SpoolerEnumBuffer list = {reinterpret_cast<void*>(1), 2, 5};
    EnumerateDrivers(list, kEnvironment);
    EXPECT_EQ(list.buffer, nullptr);
    EXPECT_EQ(list.level, 6);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(SpoolerEnumerationTest, AddedLevelSixDriverIsEnumeratedAndFound) {
    DRIVER_INFO_6W info = {};
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(kDriverName);
    info.pEnvironment = const_cast<LPWSTR>(kEnvironment);
    info.pDriverPath = const_cast<LPWSTR>(kDriverDll);
    info.pDataFile = const_cast<LPWSTR>(kDriverDll);
    info.pConfigFile = const_cast<LPWSTR>(kUiDll);
    info.pHelpFile = const_cast<LPWSTR>(kHelpFile);
    ASSERT_TRUE(scratch.AddDriver(L"Zantorelle printer (other)"));
    scratch.ExpectDriver(kDriverName);
    ASSERT_TRUE(AddPrinterDriverLevel6(info));

    AllocationCounter counter;
    SpoolerEnumBuffer list;
    EnumerateDrivers(list, kEnvironment);
    ASSERT_NE(list.buffer, nullptr);
    EXPECT_EQ(list.level, 6);
    ASSERT_EQ(list.count, 2u);
    int index = FindProductDriver(list);
    ASSERT_GE(index, 0);
    auto* drivers = static_cast<DRIVER_INFO_6W*>(list.buffer);
    EXPECT_STREQ(drivers[index].pName, kDriverName);
    EXPECT_STREQ(drivers[1 - index].pName, L"Zantorelle printer (other)");
    std::wstring path = drivers[index].pDriverPath;
    EXPECT_EQ(path.substr(path.size() - 13), L"\\zrldrv64.dll");
    FreeGlobal(list.buffer);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(SpoolerEnumerationTest, DriversOfAnUnknownEnvironmentFailWithTheSpoolersError) {
    ASSERT_TRUE(scratch.AddDriver(kDriverName));
    AllocationCounter counter;
    SpoolerEnumBuffer list;
    SetLastError(kPoison);
    EnumerateDrivers(list, L"Windows 3.1");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
    EXPECT_EQ(list.buffer, nullptr);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(SpoolerEnumerationTest, DriversWithoutMemorySetOutOfMemory) {
    ASSERT_TRUE(scratch.AddDriver(kDriverName));
    AllocationCounter counter;
    ScopedOverride noMemory(kernel.GlobalAlloc, &NoGlobalMemory);
    SpoolerEnumBuffer list;
    SetLastError(kPoison);
    EnumerateDrivers(list, kEnvironment);
    EXPECT_EQ(GetLastError(), kNoMemory);
    EXPECT_EQ(list.buffer, nullptr);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(SpoolerEnumerationTest, DriversSecondCallFailingFreesTheBlock) {
    ASSERT_TRUE(scratch.AddDriver(kDriverName));
    static decltype(winspool.EnumPrinterDriversW) real;
    static int calls;
    real = winspool.EnumPrinterDriversW;
    calls = 0;
    AllocationCounter counter;
    ScopedOverride grown(winspool.EnumPrinterDriversW,
                         [](LPWSTR server, LPWSTR environment, DWORD level, LPBYTE block,
                            DWORD size, LPDWORD needed, LPDWORD count) -> BOOL {
                             if (++calls == 1) {
                                 return real(server, environment, level, block, size, needed,
                                             count);
                             }
                             *count = 1;
                             SetLastError(ERROR_INSUFFICIENT_BUFFER);
                             return FALSE;
                         });
    SpoolerEnumBuffer list;
    SetLastError(kPoison);
    EnumerateDrivers(list, kEnvironment);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(list.buffer, nullptr);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

bool ListHolds(const PrinterList& list, const wchar_t* name) {
    for (UINT32 i = 0; i < list.count; ++i) {
        if (std::wstring(list.buffer[i].pPrinterName) == name) {
            return true;
        }
    }
    return false;
}

TEST_F(SpoolerEnumerationTest, PrintersAreListedAndARefillFreesTheEarlierBuffer) {
    ASSERT_TRUE(scratch.AddDriver(kDriverName));
    ASSERT_TRUE(scratch.AddPrinter(kPrinterA, kDriverName));
    AllocationCounter counter;
    PrinterList list = {};
    EnumeratePrinters(list);
    ASSERT_TRUE(ListHolds(list, kPrinterA));
    EXPECT_FALSE(ListHolds(list, kPrinterB));
    EXPECT_EQ(counter.GlobalBlocks(), 1);

    ASSERT_TRUE(scratch.AddPrinter(kPrinterB, kDriverName));
    UINT32 before = list.count;
    EnumeratePrinters(list);
    EXPECT_EQ(counter.GlobalBlocks(), 1);
    EXPECT_EQ(list.count, before + 1);
    EXPECT_TRUE(ListHolds(list, kPrinterA));
    EXPECT_TRUE(ListHolds(list, kPrinterB));

    FreePrinterList(list);
    EXPECT_EQ(list.buffer, nullptr);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(SpoolerEnumerationTest, PrintersWithoutMemoryLeaveTheListEmptyAndFreed) {
    ASSERT_TRUE(scratch.AddDriver(kDriverName));
    ASSERT_TRUE(scratch.AddPrinter(kPrinterA, kDriverName));
    AllocationCounter counter;
    PrinterList list = {};
    EnumeratePrinters(list);
    ASSERT_GT(list.count, 0u);
    ScopedOverride noMemory(kernel.GlobalAlloc, &NoGlobalMemory);
    SetLastError(kPoison);
    EnumeratePrinters(list);
    EXPECT_EQ(GetLastError(), kNoMemory);
    EXPECT_EQ(list.buffer, nullptr);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(SpoolerEnumerationTest, PrintersFirstCallFailingFreesTheEarlierBuffer) {
    ASSERT_TRUE(scratch.AddDriver(kDriverName));
    ASSERT_TRUE(scratch.AddPrinter(kPrinterA, kDriverName));
    AllocationCounter counter;
    PrinterList list = {};
    EnumeratePrinters(list);
    ASSERT_GT(list.count, 0u);
    ScopedOverride stopped(winspool.EnumPrintersW,
                           [](DWORD, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD) -> BOOL {
                               SetLastError(RPC_S_SERVER_UNAVAILABLE);
                               return FALSE;
                           });
    SetLastError(kPoison);
    EnumeratePrinters(list);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(list.buffer, nullptr);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(counter.GlobalBlocks(), 0);

    // A failure that sets no code of its own is no size answer, whatever code
    // an earlier call left behind: no block, no second call.
    static int calls;
    calls = 0;
    ScopedOverride mute(winspool.EnumPrintersW,
                        [](DWORD, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD needed, LPDWORD) -> BOOL {
                            ++calls;
                            *needed = 4096;
                            return FALSE;
                        });
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    EnumeratePrinters(list);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(list.buffer, nullptr);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(SpoolerEnumerationTest, PrintersSecondCallFailingFreesTheBlock) {
    ASSERT_TRUE(scratch.AddDriver(kDriverName));
    ASSERT_TRUE(scratch.AddPrinter(kPrinterA, kDriverName));
    static decltype(winspool.EnumPrintersW) real;
    static int calls;
    real = winspool.EnumPrintersW;
    calls = 0;
    AllocationCounter counter;
    ScopedOverride grown(winspool.EnumPrintersW,
                         [](DWORD flags, LPWSTR name, DWORD level, LPBYTE block, DWORD size,
                            LPDWORD needed, LPDWORD count) -> BOOL {
                             if (++calls == 1) {
                                 return real(flags, name, level, block, size, needed, count);
                             }
                             *count = 1;
                             SetLastError(ERROR_INSUFFICIENT_BUFFER);
                             return FALSE;
                         });
    // Freeing the block may set a code of its own: the spooler's must stay.
    static decltype(kernel.GlobalFree) counted;
    counted = kernel.GlobalFree;
    ScopedOverride noisyFree(kernel.GlobalFree, [](HGLOBAL block) -> HGLOBAL {
        HGLOBAL result = counted(block);
        SetLastError(kPoison);
        return result;
    });
    PrinterList list = {};
    SetLastError(kPoison);
    EnumeratePrinters(list);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(list.buffer, nullptr);
    EXPECT_EQ(list.count, 0u);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

class PrinterInfoTest : public SpoolerEnumerationTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(scratch.AddDriver(kDriverName));
        ASSERT_TRUE(scratch.AddPrinter(kPrinterA, kDriverName));
        printer.Reset(scratch.OpenForDelete(kPrinterA));
        ASSERT_TRUE(printer);
    }
    UniquePrinter printer;
    PrinterInfoBuffer info = {reinterpret_cast<PRINTER_INFO_2W*>(1), 9};
};

TEST_F(PrinterInfoTest, ReadsTheRecordIntoABlockOfTheAskedSize) {
    AllocationCounter counter;
    GetPrinterInfo2(info, printer.Get());
    ASSERT_NE(info.buffer, nullptr);
    EXPECT_GE(info.size, sizeof(PRINTER_INFO_2W));
    EXPECT_EQ(GlobalSize(info.buffer), info.size);
    EXPECT_STREQ(info.buffer->pPrinterName, kPrinterA);
    EXPECT_STREQ(info.buffer->pDriverName, kDriverName);
    EXPECT_STREQ(info.buffer->pPortName, L"FILE:");
    FreeGlobal(info.buffer);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(PrinterInfoTest, AnInvalidHandleGivesNoRecord) {
    AllocationCounter counter;
    SetLastError(kPoison);
    GetPrinterInfo2(info, reinterpret_cast<HANDLE>(0x1234));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(info.buffer, nullptr);
    EXPECT_EQ(info.size, 0u);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

// Only the error code tells that there is a record: a size query that succeeds
// must not be taken for one because an earlier call left that code behind.
TEST_F(PrinterInfoTest, AStaleInsufficientBufferCodeIsNotTakenForTheSpoolersAnswer) {
    AllocationCounter counter;
    ScopedOverride silent(winspool.GetPrinterW,
                          [](HANDLE, DWORD, LPBYTE, DWORD, LPDWORD) -> BOOL { return TRUE; });
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    GetPrinterInfo2(info, printer.Get());
    EXPECT_EQ(info.buffer, nullptr);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(PrinterInfoTest, NoMemorySetsOutOfMemoryAndKeepsTheAskedSize) {
    AllocationCounter counter;
    ScopedOverride noMemory(kernel.GlobalAlloc, &NoGlobalMemory);
    SetLastError(kPoison);
    GetPrinterInfo2(info, printer.Get());
    EXPECT_EQ(GetLastError(), kNoMemory);
    EXPECT_EQ(info.buffer, nullptr);
    EXPECT_GE(info.size, sizeof(PRINTER_INFO_2W));
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(PrinterInfoTest, SecondCallFailingFreesTheBlock) {
    static decltype(winspool.GetPrinterW) real;
    static int calls;
    real = winspool.GetPrinterW;
    calls = 0;
    AllocationCounter counter;
    ScopedOverride denied(
        winspool.GetPrinterW,
        [](HANDLE printer, DWORD level, LPBYTE block, DWORD size, LPDWORD needed) -> BOOL {
            if (++calls == 1) {
                return real(printer, level, block, size, needed);
            }
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        });
    SetLastError(kPoison);
    GetPrinterInfo2(info, printer.Get());
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(info.buffer, nullptr);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(PrinterInfoTest, ClosePrinterHandleClosesTheHandle) {
    SetLastError(kPoison);
    EXPECT_TRUE(ClosePrinterHandle(printer.Release()));
    SetLastError(kPoison);
    EXPECT_FALSE(ClosePrinterHandle(reinterpret_cast<HANDLE>(0x1234)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

struct PurgeSpy {
    static inline decltype(winspool.SetPrinterW) real;
    static inline DWORD command;
    static inline BOOL result;
    static inline int calls;
};

TEST_F(SpoolerEnumerationTest, PurgeAndDeleteStillDeletesWhenThePurgeFails) {
    ASSERT_TRUE(scratch.AddDriver(kDriverName));
    ASSERT_TRUE(scratch.AddPrinter(kPrinterA, kDriverName));
    UniquePrinter printer(scratch.OpenForDelete(kPrinterA));
    ASSERT_TRUE(printer);
    PurgeSpy::real = winspool.SetPrinterW;
    PurgeSpy::calls = 0;
    // Wine refuses every level-0 command (ERROR_INVALID_LEVEL): a real failed purge.
    ScopedOverride spy(winspool.SetPrinterW,
                       [](HANDLE handle, DWORD level, LPBYTE data, DWORD command) -> BOOL {
                           ++PurgeSpy::calls;
                           PurgeSpy::command = command;
                           PurgeSpy::result = PurgeSpy::real(handle, level, data, command);
                           return PurgeSpy::result;
                       });
    SetLastError(kPoison);
    EXPECT_TRUE(PurgeAndDeletePrinter(printer.Get()));
    EXPECT_EQ(PurgeSpy::calls, 1);
    EXPECT_EQ(PurgeSpy::command, static_cast<DWORD>(PRINTER_CONTROL_PURGE));
    EXPECT_FALSE(PurgeSpy::result);
    printer.Reset();
    EXPECT_FALSE(scratch.PrinterExists(kPrinterA));
}

TEST_F(SpoolerEnumerationTest, PurgeAndDeleteReportsTheDeletionsError) {
    ASSERT_TRUE(scratch.AddDriver(kDriverName));
    ASSERT_TRUE(scratch.AddPrinter(kPrinterA, kDriverName));
    UniquePrinter printer(scratch.OpenForDelete(kPrinterA));
    ASSERT_TRUE(printer);
    ScopedOverride refused(winspool.DeletePrinter, [](HANDLE) -> BOOL {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    });
    SetLastError(kPoison);
    EXPECT_FALSE(PurgeAndDeletePrinter(printer.Get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    printer.Reset();
    EXPECT_TRUE(scratch.PrinterExists(kPrinterA));
}

PRINTER_INFO_2W NewPrinter(const wchar_t* name) {
    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(name);
    info.pPortName = const_cast<LPWSTR>(L"FILE:");
    info.pDriverName = const_cast<LPWSTR>(kDriverName);
    info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
    return info;
}

TEST_F(SpoolerEnumerationTest, AddLocalPrinterWithoutDatatypeMakesAPrinterWineCanOpen) {
    ASSERT_TRUE(scratch.AddDriver(kDriverName));
    PRINTER_INFO_2W info = NewPrinter(kPrinterA);
    scratch.ExpectPrinter(kPrinterA);
    UniquePrinter printer(AddLocalPrinter(info));
    ASSERT_TRUE(printer);
    EXPECT_EQ(info.pDatatype, nullptr);
    PrinterInfoBuffer read;
    GetPrinterInfo2(read, printer.Get());
    UniqueGlobal held(read.buffer);
    ASSERT_NE(read.buffer, nullptr);
    EXPECT_STREQ(read.buffer->pDatatype, L"RAW");
    EXPECT_TRUE(scratch.PrinterExists(kPrinterA));
}

struct AddSpy {
    static inline const void* record;
    static inline bool server;
    static inline DWORD level;
};

TEST(AddLocalPrinter, HandsTheRecordToTheLocalSpoolerAtLevelTwo) {
    ScopedOverride spy(winspool.AddPrinterW, [](LPWSTR server, DWORD level, LPBYTE data) -> HANDLE {
        AddSpy::server = server != nullptr;
        AddSpy::level = level;
        AddSpy::record = data;
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return nullptr;
    });
    PRINTER_INFO_2W info = NewPrinter(kPrinterA);
    SetLastError(kPoison);
    EXPECT_EQ(AddLocalPrinter(info), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    EXPECT_FALSE(AddSpy::server);
    EXPECT_EQ(AddSpy::level, 2u);
    EXPECT_EQ(AddSpy::record, &info);
}

TEST(AddPrinterDriverLevel6, ReportsTheSpoolersError) {
    DRIVER_INFO_6W info = {};
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(kDriverName);
    info.pEnvironment = const_cast<LPWSTR>(L"Windows 3.1");
    info.pDriverPath = const_cast<LPWSTR>(kDriverDll);
    info.pDataFile = const_cast<LPWSTR>(kDriverDll);
    info.pConfigFile = const_cast<LPWSTR>(kUiDll);
    SetLastError(kPoison);
    EXPECT_FALSE(AddPrinterDriverLevel6(info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
}

TEST(GetFileBuildNumber, ReadsTheFourthNumberOfTheFileVersion) {
    std::wstring monitor = StandIn(L"zrlmon64.dll");
    std::wstring older = StandIn(L"zrlmon64-1213.dll");
    std::wstring highest = StandIn(L"version-65535.dll");
    if (!FileExists(monitor) || !FileExists(older) || !FileExists(highest)) {
        GTEST_SKIP() << "stand-in components are not built";
    }
    EXPECT_EQ(GetFileBuildNumber(monitor.c_str()), kBuildNumber);
    EXPECT_EQ(GetFileBuildNumber(older.c_str()), 1213);
    EXPECT_EQ(GetFileBuildNumber(highest.c_str()), 65535);
}

TEST(GetFileBuildNumber, FilesWithoutVersionAndMissingFilesGiveMinusOne) {
    std::wstring dir = MakeTempDir(L"build-number");
    std::wstring text = dir + L"\\notes.txt";
    WriteFileBytes(text, "not a program");
    AllocationCounter counter;
    EXPECT_EQ(GetFileBuildNumber(ThisProgram().c_str()), -1);
    EXPECT_EQ(GetFileBuildNumber(text.c_str()), -1);
    EXPECT_EQ(GetFileBuildNumber((dir + L"\\missing.dll").c_str()), -1);
    std::wstring noVersion = StandIn(L"zrlmon64-noversion.dll");
    if (FileExists(noVersion)) {
        EXPECT_EQ(GetFileBuildNumber(noVersion.c_str()), -1);
    }
    EXPECT_EQ(counter.GlobalBlocks(), 0);
    RemoveTree(dir);
}

class BuildNumberFaultTest : public testing::Test {
protected:
    void SetUp() override {
        if (!FileExists(monitor)) {
            GTEST_SKIP() << "stand-in monitor is not built";
        }
    }
    std::wstring monitor = StandIn(L"zrlmon64.dll");
    AllocationCounter counter;
};

TEST_F(BuildNumberFaultTest, NoMemoryGivesMinusOne) {
    ScopedOverride noMemory(kernel.GlobalAlloc, &NoGlobalMemory);
    EXPECT_EQ(GetFileBuildNumber(monitor.c_str()), -1);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(BuildNumberFaultTest, UnreadableVersionGivesMinusOneAndFreesTheBlock) {
    static int reads;
    reads = 0;
    ScopedOverride unreadable(version.GetFileVersionInfoW,
                              [](LPCWSTR, DWORD, DWORD, LPVOID) -> BOOL {
                                  ++reads;
                                  SetLastError(ERROR_ACCESS_DENIED);
                                  return FALSE;
                              });
    EXPECT_EQ(GetFileBuildNumber(monitor.c_str()), -1);
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(BuildNumberFaultTest, MissingRootBlockGivesMinusOneAndFreesTheBlock) {
    static int queries;
    queries = 0;
    ScopedOverride noRoot(version.VerQueryValueW, [](LPCVOID, LPCWSTR, LPVOID*, PUINT) -> BOOL {
        ++queries;
        return FALSE;
    });
    EXPECT_EQ(GetFileBuildNumber(monitor.c_str()), -1);
    EXPECT_EQ(queries, 1);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

}  // namespace
