#include <gmock/gmock.h>

#include <string>
#include <utility>
#include <vector>

#include "core/counted_string.h"
#include "core/deferred_delete.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "spooler/enumerations.h"
#include "spooler/port_monitor.h"
#include "spooler/spooler_scratch.h"
#include "spooler/winspool_api.h"
#include "support/fake_spooler_service.h"
#include "support/scoped_override.h"
#include "support/test_support.h"

namespace {

constexpr wchar_t kPrinterA[] = L"Zrl Port A";
constexpr wchar_t kPrinterB[] = L"Zrl Port B";
constexpr wchar_t kOtherPrinter[] = L"Zrl Port Other";
constexpr wchar_t kSentinel[] = L"<after the port>";
constexpr DWORD kInUse = ERROR_PRINT_MONITOR_IN_USE;
constexpr DWORD kAddRefused = ERROR_MOD_NOT_FOUND;

std::wstring SystemDir() {
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\";
}
std::wstring InstalledMonitor() {
    return SystemDir() + kMonitorDll;
}
std::wstring ShippedMonitor() {
    return SetupDir() + L"\\" + kMonitorDll;
}
std::wstring StandIn(const wchar_t* file) {
    return BuildDir() + L"\\stand-ins\\" + file;
}

MONITOR_INFO_2W Monitor(const wchar_t* name, const wchar_t* dll) {
    return {const_cast<LPWSTR>(name), const_cast<LPWSTR>(kEnvironment), const_cast<LPWSTR>(dll)};
}

// Scripted answers of the spooler, and counts of what the code under test
// asked for.
struct Faults {
    static inline WinspoolApi real;
    static inline int deleteRefusals;  // DeleteMonitorW calls refused before the spooler's own
    static inline bool fakeDelete;     // then succeed without the spooler
    static inline int deleteCalls;
    static inline int addFailures;
    static inline bool fakeAdd;
    static inline int addCalls;
};

// Removes the product's monitor and its installed file after each test, with
// the spooler's own functions.
class MonitorCleanup {
public:
    MonitorCleanup() : deleteMonitor_(winspool.DeleteMonitorW) {}
    ~MonitorCleanup() {
        deleteMonitor_(nullptr, const_cast<LPWSTR>(kEnvironment), const_cast<LPWSTR>(kMonitorName));
        DeleteFileW(InstalledMonitor().c_str());
    }
    MonitorCleanup(const MonitorCleanup&) = delete;
    MonitorCleanup& operator=(const MonitorCleanup&) = delete;

private:
    decltype(winspool.DeleteMonitorW) deleteMonitor_;
};

int CaptureRealSpooler() {
    Faults::real = winspool;
    return 0;
}

class PortMonitorTest : public testing::Test {
protected:
    PortMonitorTest()
        : deleteMonitor_(winspool.DeleteMonitorW,
                         [](LPWSTR server, LPWSTR environment, LPWSTR name) -> BOOL {
                             EXPECT_STREQ(environment, kEnvironment);
                             EXPECT_STREQ(name, kMonitorName);
                             if (++Faults::deleteCalls <= Faults::deleteRefusals) {
                                 SetLastError(kInUse);
                                 return FALSE;
                             }
                             return Faults::fakeDelete
                                        ? TRUE
                                        : Faults::real.DeleteMonitorW(server, environment, name);
                         }),
          addMonitor_(winspool.AddMonitorW, [](LPWSTR server, DWORD level, LPBYTE data) -> BOOL {
              const auto* info = reinterpret_cast<MONITOR_INFO_2W*>(data);
              EXPECT_EQ(server, nullptr);
              EXPECT_EQ(level, 2u);
              EXPECT_STREQ(info->pName, kMonitorName);
              EXPECT_STREQ(info->pEnvironment, kEnvironment);
              EXPECT_STREQ(info->pDLLName, kMonitorDll);
              if (++Faults::addCalls <= Faults::addFailures) {
                  SetLastError(kAddRefused);
                  return FALSE;
              }
              return Faults::fakeAdd ? TRUE : Faults::real.AddMonitorW(server, level, data);
          }) {}

    void SetUp() override {
        Faults::deleteRefusals = 0;
        Faults::fakeDelete = false;
        Faults::deleteCalls = 0;
        Faults::addFailures = 0;
        Faults::fakeAdd = false;
        Faults::addCalls = 0;
        run.environment = kEnvironment;
        run.monitorDll = kMonitorDll;
        run.InstallMonitor = 1;
        run.CopyMonitor = 1;
        AssignCountedString(run.systemDir, SystemDir().c_str());
        AssignCountedString(run.sourceDir, (SetupDir() + L"\\").c_str());
        ASSERT_TRUE(FileExists(ShippedMonitor()))
            << "no stand-in monitor: run `ctest -R stage` first";
    }

    void TearDown() override {
        FreeGlobal(monitors.buffer);
        FreeGlobal(run.movedPrinters);
        FreePrinterList(run.printers, run.printerCount);
        ClearDeferredDeletes(run.deferredDeletes);
        FreeCountedString(run.logText);
        FreeCountedString(run.systemDir);
        FreeCountedString(run.sourceDir);
    }

    void ClearLog() { FreeCountedString(run.logText); }

    void RegisterMonitor(const std::wstring& dll) {
        ASSERT_TRUE(scratch.AddMonitor(dll));
        EnumerateMonitors(monitors, run);
        ASSERT_GE(FindProductMonitor(monitors), 0);
    }

    void AddPrinterOn(const wchar_t* name, const wchar_t* port) {
        PRINTER_INFO_2W info = {};
        info.pPrinterName = const_cast<LPWSTR>(name);
        info.pPortName = const_cast<LPWSTR>(port);
        info.pDriverName = const_cast<LPWSTR>(kDriverName);
        info.pPrintProcessor = const_cast<LPWSTR>(kPrintProcessor);
        info.pDatatype = const_cast<LPWSTR>(L"RAW");
        scratch.ExpectPrinter(name);
        HANDLE printer = Faults::real.AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
        ASSERT_TRUE(printer);
        Faults::real.ClosePrinter(printer);
    }

    // The registered monitor, two printers on its port and one elsewhere, and
    // the run's snapshot of them.
    void ProductPortPrinters() {
        ASSERT_TRUE(scratch.AddDriver(kDriverName));
        ASSERT_NO_FATAL_FAILURE(RegisterMonitor(ShippedMonitor()));
        ASSERT_NO_FATAL_FAILURE(AddPrinterOn(kPrinterA, kPortName));
        ASSERT_NO_FATAL_FAILURE(AddPrinterOn(kPrinterB, kPortName));
        ASSERT_NO_FATAL_FAILURE(AddPrinterOn(kOtherPrinter, L"FILE:"));
        EnumeratePrinters(run.printers, run.printerCount);
        ASSERT_NE(Entry(kPrinterA), nullptr);
        ASSERT_NE(Entry(kPrinterB), nullptr);
        ASSERT_NE(Entry(kOtherPrinter), nullptr);
    }

    // A printer list laid out as the spooler returns one, records first and
    // then their strings, each port name followed directly by the comment
    // that a port name outgrowing its room would overwrite.
    void FakePrinters(const std::vector<std::pair<std::wstring, std::wstring>>& printers) {
        SIZE_T chars = 0;
        for (const auto& [name, port] : printers) {
            chars += name.size() + port.size() + lstrlenW(kSentinel) + 3;
        }
        SIZE_T recordBytes = printers.size() * sizeof(PRINTER_INFO_2W);
        auto* block = static_cast<BYTE*>(AllocGlobal(recordBytes + chars * sizeof(wchar_t)));
        ASSERT_NE(block, nullptr);
        auto* records = reinterpret_cast<PRINTER_INFO_2W*>(block);
        auto* text = reinterpret_cast<wchar_t*>(block + recordBytes);
        auto put = [&text](const std::wstring& s) {
            wchar_t* at = text;
            CopyMemory(at, s.c_str(), (s.size() + 1) * sizeof(wchar_t));
            text += s.size() + 1;
            return at;
        };
        for (SIZE_T i = 0; i < printers.size(); ++i) {
            records[i].pPrinterName = put(printers[i].first);
            records[i].pPortName = put(printers[i].second);
            records[i].pComment = put(kSentinel);
        }
        run.printers = records;
        run.printerCount = static_cast<UINT32>(printers.size());
    }

    PRINTER_INFO_2W* Entry(const wchar_t* name) const {
        for (UINT32 i = 0; i < run.printerCount; ++i) {
            if (run.printers[i].pPrinterName &&
                std::wstring(run.printers[i].pPrinterName) == name) {
                return &run.printers[i];
            }
        }
        return nullptr;
    }

    std::vector<PRINTER_INFO_2W*> Moved() const {
        std::vector<PRINTER_INFO_2W*> moved;
        for (PRINTER_INFO_2W** slot = run.movedPrinters; slot && *slot; ++slot) {
            moved.push_back(*slot);
        }
        return moved;
    }

    // The port as the spooler now has it.
    std::wstring SpoolerPort(const wchar_t* name) const {
        HANDLE printer = nullptr;
        if (!Faults::real.OpenPrinterW(const_cast<LPWSTR>(name), &printer, nullptr)) {
            return L"(no printer)";
        }
        DWORD needed = 0;
        Faults::real.GetPrinterW(printer, 2, nullptr, 0, &needed);
        std::vector<BYTE> block(needed + 1);
        std::wstring port = L"(unreadable)";
        if (Faults::real.GetPrinterW(printer, 2, block.data(), needed, &needed)) {
            port = reinterpret_cast<PRINTER_INFO_2W*>(block.data())->pPortName;
        }
        Faults::real.ClosePrinter(printer);
        return port;
    }

    // A and B as the run's list orders them.
    std::vector<std::wstring> ProductPortOrder() const {
        return Entry(kPrinterA) < Entry(kPrinterB)
                   ? std::vector<std::wstring>{kPrinterA, kPrinterB}
                   : std::vector<std::wstring>{kPrinterB, kPrinterA};
    }

    std::vector<PRINTER_INFO_2W*> ProductPortEntries() const {
        std::vector<PRINTER_INFO_2W*> entries;
        for (const auto& name : ProductPortOrder()) {
            entries.push_back(Entry(name.c_str()));
        }
        return entries;
    }

    std::wstring SetPrinterLines(const wchar_t* outcome) const {
        std::wstring lines;
        for (const auto& name : ProductPortOrder()) {
            lines += L"  SetPrinter(" + name + L") - " + outcome + L"\r\n";
        }
        return lines;
    }

    // The list lines and the found monitor's position for the run's monitors.
    std::wstring FoundMonitorHead() const {
        const auto* records = static_cast<const MONITOR_INFO_2W*>(monitors.buffer);
        std::wstring text = L">DeleteMonitor\r\n  ------- " + std::to_wstring(monitors.count) +
                            L" existing monitors ----------\r\n";
        UINT32 found = 0;
        for (UINT32 i = 0; i < monitors.count; ++i) {
            text += L"  " + std::to_wstring(i + 1) + L". " + records[i].pName + L"\r\n";
            if (std::wstring(records[i].pName) == kMonitorName) {
                found = i + 1;
            }
        }
        return text +
               L"  ---------------------------------------\r\n  Port monitor is found. Index=" +
               std::to_wstring(found) +
               L"\r\n  Trying to get monitor filename from MONITOR_INFO_2\r\n"
               L"  Auto calculated monitor file name: " +
               InstalledMonitor() + L"\r\n";
    }

    std::wstring CopyLines() const {
        return L"  Copy monitor file\r\n  >CopyFile zrlmon64.dll to " + SystemDir() +
               L" [0])\r\n    Copy Succeeded :)\r\n";
    }

    // Moves A and B to "file:" through a removal the spooler refuses once,
    // and starts the log afresh.
    void MovePrintersOff() {
        ASSERT_NO_FATAL_FAILURE(ProductPortPrinters());
        Faults::deleteRefusals = 1;
        RemovePortMonitor(run, monitors);
        ASSERT_EQ(Moved().size(), 2u);
        ASSERT_EQ(SpoolerPort(kPrinterA), L"file:");
        ClearLog();
        Faults::deleteCalls = 0;
        Faults::deleteRefusals = 0;
    }

    MonitorCleanup cleanup;
    SpoolerScratch scratch;
    int captured_ = CaptureRealSpooler();
    InstallRun run = EmptyRun();
    SpoolerEnumBuffer monitors = {nullptr, 2, 0};

private:
    ScopedOverride<decltype(winspool.DeleteMonitorW)> deleteMonitor_;
    ScopedOverride<decltype(winspool.AddMonitorW)> addMonitor_;
    FakeSpoolerService spooler_;
};

TEST_F(PortMonitorTest, InstallCopiesAndRegistersTheMonitorWhosePortIsThenOffered) {
    DeleteFileW(InstalledMonitor().c_str());
    ASSERT_FALSE(PortOffered(kPortName));
    AllocationCounter counter;
    SetLastError(kPoison);
    InstallPortMonitor(run);

    EXPECT_EQ(LogOf(run), L">AddMonitor\r\n" + CopyLines() + L"  AddMonitor - OK :)\r\n");
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(run.logDepth, 0);
    EXPECT_EQ(Faults::addCalls, 1);
    EXPECT_EQ(FakeSpoolerService::shortPauses, 0);
    EXPECT_EQ(ReadFileBytes(InstalledMonitor()), ReadFileBytes(ShippedMonitor()));
    EXPECT_TRUE(PortOffered(kPortName));
    EXPECT_EQ(counter.GlobalBlocks(), 0);
    EXPECT_EQ(counter.HeapBlocks(), 1);  // the log
}

TEST_F(PortMonitorTest, UninstallDeletesTheMonitorAndItsFileAtOnce) {
    ASSERT_NO_FATAL_FAILURE(RegisterMonitor(ShippedMonitor()));
    AllocationCounter counter;
    RemovePortMonitor(run, monitors);

    EXPECT_EQ(LogOf(run), FoundMonitorHead() +
                              L"  There is no check for monitor version\r\n"
                              L"  Monitor was removed :)\r\n");
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(run.logDepth, 0);
    EXPECT_EQ(Faults::deleteCalls, 1);
    EXPECT_FALSE(FileExists(InstalledMonitor()));
    EXPECT_FALSE(PortOffered(kPortName));
    EXPECT_EQ(run.movedPrinters, nullptr);
    EXPECT_EQ(run.deferredDeletes, nullptr);
    EXPECT_EQ(run.InstallMonitor, 1);
    EXPECT_EQ(run.CopyMonitor, 1);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
    EXPECT_EQ(counter.HeapBlocks(), 1);
}

TEST_F(PortMonitorTest, RefusedOnceMovesProductPortPrintersToFileAndReinstallBringsThemBack) {
    ASSERT_NO_FATAL_FAILURE(ProductPortPrinters());
    Faults::deleteRefusals = 1;
    AllocationCounter counter;
    SetLastError(kPoison);
    RemovePortMonitor(run, monitors);

    EXPECT_EQ(LogOf(run), FoundMonitorHead() +
                              L"  There is no check for monitor version\r\n"
                              L"  Can't delete monitor from the first try\r\n" +
                              SetPrinterLines(L"ok") + L"  Monitor was removed :)\r\n");
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(Faults::deleteCalls, 2);
    EXPECT_EQ(FakeSpoolerService::stops, 0);
    EXPECT_EQ(Moved(), ProductPortEntries());
    EXPECT_STREQ(Entry(kPrinterA)->pPortName, L"file:");
    EXPECT_STREQ(Entry(kPrinterB)->pPortName, L"file:");
    EXPECT_STREQ(Entry(kOtherPrinter)->pPortName, L"FILE:");
    EXPECT_EQ(SpoolerPort(kPrinterA), L"file:");
    EXPECT_EQ(SpoolerPort(kPrinterB), L"file:");
    EXPECT_EQ(SpoolerPort(kOtherPrinter), L"FILE:");
    EXPECT_FALSE(FileExists(InstalledMonitor()));
    EXPECT_EQ(counter.GlobalBlocks(), 1);  // movedPrinters

    ClearLog();
    InstallPortMonitor(run);

    EXPECT_EQ(LogOf(run), L">AddMonitor\r\n" + CopyLines() + L"  AddMonitor - OK :)\r\n" +
                              SetPrinterLines(L"ok"));
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(run.logDepth, 0);
    EXPECT_STREQ(Entry(kPrinterA)->pPortName, kPortName);
    EXPECT_STREQ(Entry(kPrinterB)->pPortName, kPortName);
    EXPECT_EQ(SpoolerPort(kPrinterA), kPortName);
    EXPECT_EQ(SpoolerPort(kPrinterB), kPortName);
    EXPECT_EQ(SpoolerPort(kOtherPrinter), L"FILE:");
    EXPECT_TRUE(PortOffered(kPortName));
    EXPECT_EQ(counter.GlobalBlocks(), 1);
    EXPECT_EQ(counter.HeapBlocks(), 1);
}

TEST_F(PortMonitorTest, RefusedTwiceRestartsTheSpoolerAndDeletesTheThirdTime) {
    ASSERT_NO_FATAL_FAILURE(ProductPortPrinters());
    Faults::deleteRefusals = 2;
    RemovePortMonitor(run, monitors);

    EXPECT_EQ(LogOf(run), FoundMonitorHead() +
                              L"  There is no check for monitor version\r\n"
                              L"  Can't delete monitor from the first try\r\n" +
                              SetPrinterLines(L"ok") +
                              L"  >Restart Spooler\r\n"
                              L"  Monitor was removed :)\r\n");
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(Faults::deleteCalls, 3);
    EXPECT_EQ(FakeSpoolerService::stops, 1);
    EXPECT_EQ(FakeSpoolerService::starts, 1);
    EXPECT_EQ(FakeSpoolerService::polls, 0);
    EXPECT_EQ(Moved().size(), 2u);
    EXPECT_FALSE(FileExists(InstalledMonitor()));
}

TEST_F(PortMonitorTest, RefusedThreeTimesIsErrorTwelveAndKeepsTheFile) {
    ASSERT_NO_FATAL_FAILURE(ProductPortPrinters());
    Faults::deleteRefusals = 3;
    SetLastError(kPoison);
    RemovePortMonitor(run, monitors);

    EXPECT_EQ(LogOf(run), FoundMonitorHead() +
                              L"  There is no check for monitor version\r\n"
                              L"  Can't delete monitor from the first try\r\n" +
                              SetPrinterLines(L"ok") +
                              L"  >Restart Spooler\r\n"
                              L"  Error(12): Can`t remove the port monitor 'Zantorelle:'" +
                              ErrorTail(kInUse) + L"\r\n");
    EXPECT_EQ(run.errorCount, 1);
    EXPECT_EQ(run.logDepth, 0);
    EXPECT_EQ(Faults::deleteCalls, 3);
    EXPECT_EQ(FakeSpoolerService::stops, 1);
    EXPECT_TRUE(FileExists(InstalledMonitor()));
    EXPECT_EQ(run.deferredDeletes, nullptr);
    EXPECT_EQ(Moved().size(), 2u);
    EXPECT_EQ(SpoolerPort(kPrinterA), L"file:");
    EXPECT_EQ(SpoolerPort(kPrinterB), L"file:");
}

TEST_F(PortMonitorTest, MonitorNotInTheListThatCannotBeDeletedIsNoError) {
    ASSERT_NO_FATAL_FAILURE(FakePrinters({{L"Zrl Elsewhere", kPortName}}));
    SetLastError(kPoison);
    RemovePortMonitor(run, monitors);

    EXPECT_EQ(LogOf(run),
              L">DeleteMonitor\r\n"
              L"  BTW, there is no port monitors on this system.\r\n"
              L"  No Zantorelle port monitor was found.\r\n"
              L"  Computing monitor filename\r\n"
              L"  Auto calculated monitor file name: " +
                  InstalledMonitor() +
                  L"\r\n"
                  L"  There is no check for monitor version\r\n"
                  L"  Can't delete monitor and monitor was not found. So everything "
                  L"should be ok\r\n");
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(Faults::deleteCalls, 1);
    EXPECT_EQ(FakeSpoolerService::stops, 0);
    EXPECT_EQ(run.movedPrinters, nullptr);
    EXPECT_STREQ(run.printers[0].pPortName, kPortName);
}

TEST_F(PortMonitorTest, AddMonitorFailingFourTimesThenSucceedingIsNoError) {
    ASSERT_NO_FATAL_FAILURE(MovePrintersOff());
    Faults::addFailures = 4;
    InstallPortMonitor(run);

    std::wstring failed = L"  AddMonitor - failed. Trying to wait and install again\r\n";
    EXPECT_EQ(LogOf(run), L">AddMonitor\r\n" + CopyLines() + failed + failed + failed + failed +
                              L"  AddMonitor - OK :)\r\n" + SetPrinterLines(L"ok"));
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(Faults::addCalls, 5);
    EXPECT_EQ(FakeSpoolerService::shortPauses, 4);
    EXPECT_EQ(SpoolerPort(kPrinterA), kPortName);
    EXPECT_EQ(SpoolerPort(kPrinterB), kPortName);
    EXPECT_TRUE(PortOffered(kPortName));
}

TEST_F(PortMonitorTest, AddMonitorFailingFiveTimesIsErrorElevenAndPrintersStayOnFile) {
    ASSERT_NO_FATAL_FAILURE(MovePrintersOff());
    Faults::addFailures = 5;
    SetLastError(kPoison);
    InstallPortMonitor(run);

    std::wstring failed = L"  AddMonitor - failed. Trying to wait and install again\r\n";
    EXPECT_EQ(LogOf(run), L">AddMonitor\r\n" + CopyLines() + failed + failed + failed + failed +
                              failed +
                              L"  Error(11): Can`t install a local port monitor'Zantorelle:'" +
                              ErrorTail(kAddRefused) + L"\r\n");
    EXPECT_EQ(run.errorCount, 1);
    EXPECT_EQ(run.logDepth, 0);
    EXPECT_EQ(Faults::addCalls, 5);
    EXPECT_EQ(FakeSpoolerService::shortPauses, 4);
    EXPECT_STREQ(Entry(kPrinterA)->pPortName, L"file:");
    EXPECT_EQ(SpoolerPort(kPrinterA), L"file:");
    EXPECT_EQ(SpoolerPort(kPrinterB), L"file:");
    EXPECT_FALSE(PortOffered(kPortName));
}

// A reinstall keeps a registered monitor of a compatible build and removes
// any other.
struct VersionCase {
    const wchar_t* standIn;
    const wchar_t* verdict;
    bool kept;
};

class MonitorVersionTest : public PortMonitorTest,
                           public testing::WithParamInterface<VersionCase> {};

TEST_P(MonitorVersionTest, ReinstallKeepsOnlyCompatibleBuilds) {
    const VersionCase& c = GetParam();
    std::wstring dll =
        lstrcmpW(c.standIn, kMonitorDll) == 0 ? ShippedMonitor() : StandIn(c.standIn);
    ASSERT_TRUE(FileExists(dll));
    ASSERT_NO_FATAL_FAILURE(RegisterMonitor(dll));
    run.checkMonitorVersion = 1;
    RemovePortMonitor(run, monitors);

    std::wstring outcome =
        c.kept ? L"  InstallMonitor == 0, CopyMonitor == 1\r\n" : L"  Monitor was removed :)\r\n";
    EXPECT_EQ(LogOf(run), FoundMonitorHead() + L"  " + c.verdict + L"\r\n" + outcome);
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(run.InstallMonitor, c.kept ? 0 : 1);
    EXPECT_EQ(run.CopyMonitor, 1);
    EXPECT_EQ(Faults::deleteCalls, c.kept ? 0 : 1);
    EXPECT_EQ(FileExists(InstalledMonitor()), c.kept);
    EXPECT_EQ(PortOffered(kPortName), c.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Builds, MonitorVersionTest,
    testing::Values(VersionCase{L"zrlmon64-1214.dll",
                                L"Version (1214) is compatible, proceed without uninstall", true},
                    VersionCase{kMonitorDll,
                                L"Version (2026) is compatible, proceed without uninstall", true},
                    VersionCase{L"zrlmon64-1213.dll",
                                L"Version (1213) is not supported, proceed with reinstall", false},
                    VersionCase{L"zrlmon64-2027.dll",
                                L"Version (2027) is not supported, proceed with reinstall", false},
                    VersionCase{L"zrlmon64-noversion.dll",
                                L"Version is unknown, proceed with reinstall", false}));

TEST_F(PortMonitorTest, CompatibleFileWithoutRegistrationIsRegisteredWithoutACopy) {
    ASSERT_TRUE(
        CopyFileW(StandIn(L"zrlmon64-1214.dll").c_str(), InstalledMonitor().c_str(), FALSE));
    run.checkMonitorVersion = 1;
    RemovePortMonitor(run, monitors);

    EXPECT_EQ(LogOf(run),
              L">DeleteMonitor\r\n"
              L"  BTW, there is no port monitors on this system.\r\n"
              L"  No Zantorelle port monitor was found.\r\n"
              L"  Computing monitor filename\r\n"
              L"  Auto calculated monitor file name: " +
                  InstalledMonitor() +
                  L"\r\n"
                  L"  Version (1214) is compatible, proceed without uninstall\r\n"
                  L"  InstallMonitor == 1, CopyMonitor == 0\r\n");
    EXPECT_EQ(Faults::deleteCalls, 0);

    ClearLog();
    InstallPortMonitor(run);

    EXPECT_EQ(LogOf(run),
              L">AddMonitor\r\n"
              L"  Skip copy monitor file\r\n"
              L"  AddMonitor - OK :)\r\n");
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(GetFileBuildNumber(InstalledMonitor().c_str()), 1214);
    EXPECT_TRUE(PortOffered(kPortName));
}

TEST_F(PortMonitorTest, MonitorFileInUseAfterRemovalIsDeletedLater) {
    ASSERT_NO_FATAL_FAILURE(RegisterMonitor(ShippedMonitor()));
    HANDLE lock = CreateFileW(InstalledMonitor().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    AllocationCounter counter;
    RemovePortMonitor(run, monitors);
    CloseHandle(lock);

    EXPECT_EQ(LogOf(run), FoundMonitorHead() +
                              L"  There is no check for monitor version\r\n"
                              L"  Monitor was removed :)\r\n");
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_TRUE(FileExists(InstalledMonitor()));
    ASSERT_NE(run.deferredDeletes, nullptr);
    EXPECT_EQ(std::wstring(run.deferredDeletes->path), InstalledMonitor());
    EXPECT_EQ(run.deferredDeletes->next, nullptr);
    EXPECT_EQ(counter.GlobalBlocks(), 2);  // the node and its path
    EXPECT_EQ(counter.HeapBlocks(), 1);
}

TEST_F(PortMonitorTest, EmptyPrinterListMakesNoArrayAndTriesAgainAtOnce) {
    ASSERT_NO_FATAL_FAILURE(RegisterMonitor(ShippedMonitor()));
    Faults::deleteRefusals = 1;
    AllocationCounter counter;
    RemovePortMonitor(run, monitors);

    EXPECT_EQ(LogOf(run), FoundMonitorHead() +
                              L"  There is no check for monitor version\r\n"
                              L"  Can't delete monitor from the first try\r\n"
                              L"  Monitor was removed :)\r\n");
    EXPECT_EQ(run.movedPrinters, nullptr);
    EXPECT_EQ(Faults::deleteCalls, 2);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(PortMonitorTest, SetPrinterFailingIsLoggedAndThePrinterCountsAsMoved) {
    ASSERT_NO_FATAL_FAILURE(ProductPortPrinters());
    Faults::deleteRefusals = 1;
    {
        ScopedOverride refuse(winspool.SetPrinterW, [](HANDLE, DWORD, LPBYTE, DWORD) -> BOOL {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        });
        RemovePortMonitor(run, monitors);
    }

    EXPECT_EQ(LogOf(run), FoundMonitorHead() +
                              L"  There is no check for monitor version\r\n"
                              L"  Can't delete monitor from the first try\r\n" +
                              SetPrinterLines(L"failed") + L"  Monitor was removed :)\r\n");
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(Moved().size(), 2u);
    EXPECT_STREQ(Entry(kPrinterA)->pPortName, L"file:");
    EXPECT_EQ(SpoolerPort(kPrinterA), kPortName);
}

TEST_F(PortMonitorTest, PrintersGoneFromTheSpoolerAreMovedWithoutOpeningAndPortListsSwap) {
    ASSERT_NO_FATAL_FAILURE(FakePrinters({{L"Zrl Gone", kPortName},
                                          {L"Zrl Plain", L"LPT1:"},
                                          {L"Zrl Pooled", L"file:,Zantorelle:"},
                                          {L"", kPortName}}));
    // A printer without a name is never opened: OpenPrinterW would give the
    // print server.
    run.printers[3].pPrinterName = nullptr;
    MONITOR_INFO_2W records[] = {Monitor(L"Local Port", L"localspl.dll"),
                                 Monitor(kMonitorName, kMonitorDll)};
    Faults::deleteRefusals = 1;
    Faults::fakeDelete = true;
    DeleteFileW(InstalledMonitor().c_str());
    RemovePortMonitor(run, {records, 2, 2});

    EXPECT_EQ(LogOf(run),
              L">DeleteMonitor\r\n"
              L"  ------- 2 existing monitors ----------\r\n"
              L"  1. Local Port\r\n"
              L"  2. Zantorelle:\r\n"
              L"  ---------------------------------------\r\n"
              L"  Port monitor is found. Index=2\r\n"
              L"  Trying to get monitor filename from MONITOR_INFO_2\r\n"
              L"  Auto calculated monitor file name: " +
                  InstalledMonitor() +
                  L"\r\n"
                  L"  There is no check for monitor version\r\n"
                  L"  Can't delete monitor from the first try\r\n"
                  L"  Can't open printer Zrl Gone\r\n"
                  L"  Can't open printer Zrl Pooled\r\n"
                  L"  Can't open printer ***EMPTY***\r\n"
                  L"  Monitor was removed :)\r\n");
    EXPECT_EQ(Moved(), (std::vector{&run.printers[0], &run.printers[2], &run.printers[3]}));
    EXPECT_STREQ(run.printers[0].pPortName, L"file:");
    EXPECT_STREQ(run.printers[1].pPortName, L"LPT1:");
    EXPECT_STREQ(run.printers[2].pPortName, L"file:,file:");

    ClearLog();
    Faults::fakeAdd = true;
    run.CopyMonitor = 0;
    InstallPortMonitor(run);

    EXPECT_EQ(LogOf(run),
              L">AddMonitor\r\n"
              L"  Skip copy monitor file\r\n"
              L"  AddMonitor - OK :)\r\n"
              L"  Can't open printer Zrl Gone\r\n"
              L"  Can't open printer Zrl Pooled\r\n"
              L"  Can't open printer ***EMPTY***\r\n");
    EXPECT_STREQ(run.printers[0].pPortName, kPortName);
    EXPECT_STREQ(run.printers[2].pPortName, L"Zantorelle:,file:");
    for (UINT32 i = 0; i < run.printerCount; ++i) {
        EXPECT_STREQ(run.printers[i].pComment, kSentinel) << i;
    }
    EXPECT_EQ(run.errorCount, 0);
}

TEST_F(PortMonitorTest, PrintersThatCannotBeRememberedAreNotMoved) {
    ASSERT_NO_FATAL_FAILURE(FakePrinters({{L"Zrl Gone", kPortName}}));
    MONITOR_INFO_2W records[] = {Monitor(kMonitorName, kMonitorDll)};
    Faults::deleteRefusals = 3;
    {
        ScopedOverride noMemory(kernel.GlobalAlloc, [](UINT, SIZE_T) -> HGLOBAL {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        });
        RemovePortMonitor(run, {records, 2, 1});
    }

    EXPECT_EQ(LogOf(run),
              L">DeleteMonitor\r\n"
              L"  ------- 1 existing monitors ----------\r\n"
              L"  1. Zantorelle:\r\n"
              L"  ---------------------------------------\r\n"
              L"  Port monitor is found. Index=1\r\n"
              L"  Trying to get monitor filename from MONITOR_INFO_2\r\n"
              L"  Auto calculated monitor file name: " +
                  InstalledMonitor() +
                  L"\r\n"
                  L"  There is no check for monitor version\r\n"
                  L"  Can't delete monitor from the first try\r\n"
                  L"  >Restart Spooler\r\n"
                  L"  Error(12): Can`t remove the port monitor 'Zantorelle:'" +
                  ErrorTail(kInUse) + L"\r\n");
    EXPECT_EQ(run.movedPrinters, nullptr);
    EXPECT_STREQ(run.printers[0].pPortName, kPortName);
}

TEST_F(PortMonitorTest, IncompleteMonitorFileNamesAreNeverDeleted) {
    static int deletes;
    deletes = 0;
    ScopedOverride spy(kernel.DeleteFileW, [](LPCWSTR) -> BOOL {
        ++deletes;
        return TRUE;
    });
    Faults::fakeDelete = true;
    MONITOR_INFO_2W noDll[] = {Monitor(kMonitorName, L"")};
    RemovePortMonitor(run, {noDll, 2, 1});
    EXPECT_THAT(LogOf(run), testing::HasSubstr(L"  Auto calculated monitor file name: " +
                                               SystemDir() + L"\r\n"));

    ClearLog();
    FreeCountedString(run.systemDir);
    RemovePortMonitor(run, monitors);
    EXPECT_THAT(LogOf(run),
                testing::HasSubstr(L"  Auto calculated monitor file name: zrlmon64.dll\r\n"
                                   L"  There is no check for monitor version\r\n"
                                   L"  Monitor was removed :)\r\n"));

    EXPECT_EQ(deletes, 0);
    EXPECT_EQ(run.deferredDeletes, nullptr);
    EXPECT_EQ(run.errorCount, 0);
}

TEST_F(PortMonitorTest, CopyBlockedByTheRunningSpoolerIsMadeAgainWhileItIsStopped) {
    std::wstring dir = MakeTempDir(L"monitor-copy");
    AssignCountedString(run.systemDir, (dir + L"\\").c_str());
    std::wstring target = dir + L"\\" + kMonitorDll;
    WriteFileBytes(target, "old");
    FakeSpoolerService::releasedOnStop = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                     nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(FakeSpoolerService::releasedOnStop, INVALID_HANDLE_VALUE);
    Faults::fakeAdd = true;
    InstallPortMonitor(run);

    EXPECT_EQ(LogOf(run),
              L">AddMonitor\r\n"
              L"  Copy monitor file\r\n"
              L"  >CopyFile zrlmon64.dll to " +
                  dir + L"\\ [0])\r\n    Copy Failed :(\r\n  >Restart Spooler\r\n" +
                  L"  >CopyFile zrlmon64.dll to " + dir +
                  L"\\ [1])\r\n    Copy Succeeded :)\r\n  AddMonitor - OK :)\r\n");
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(FakeSpoolerService::shortPauses, 100);
    EXPECT_EQ(FakeSpoolerService::stops, 1);
    EXPECT_EQ(FakeSpoolerService::starts, 1);
    EXPECT_EQ(ReadFileBytes(target), ReadFileBytes(ShippedMonitor()));
    RemoveTree(dir);
}

TEST_F(PortMonitorTest, FailedSecondCopyIsReportedAndRegistrationIsTriedAnyway) {
    std::wstring empty = MakeTempDir(L"monitor-source");
    AssignCountedString(run.sourceDir, (empty + L"\\").c_str());
    Faults::fakeAdd = true;
    SetLastError(kPoison);
    InstallPortMonitor(run);
    RemoveTree(empty);

    std::wstring copy = L"  >CopyFile zrlmon64.dll to " + SystemDir();
    EXPECT_EQ(LogOf(run), L">AddMonitor\r\n  Copy monitor file\r\n" + copy +
                              L" [0])\r\n    Copy Failed :(\r\n  >Restart Spooler\r\n" + copy +
                              L" [1])\r\n    Error(10): Cant't open source file: zrlmon64.dll" +
                              ErrorTail(ERROR_FILE_NOT_FOUND) +
                              L"\r\n    Copy Failed :(\r\n  AddMonitor - OK :)\r\n");
    EXPECT_EQ(run.errorCount, 1);
    EXPECT_EQ(Faults::addCalls, 1);
    EXPECT_EQ(FakeSpoolerService::stops, 1);
    EXPECT_EQ(FakeSpoolerService::starts, 1);
}

TEST(LogMonitorList, NumbersEveryMonitorAndMarksMissingNames) {
    MONITOR_INFO_2W records[] = {Monitor(L"Local Port", L"localspl.dll"),
                                 Monitor(nullptr, L"x.dll"), Monitor(kMonitorName, kMonitorDll)};
    InstallRun run = EmptyRun();
    run.logDepth = 2;
    LogMonitorList(run, {records, 2, 3});
    EXPECT_EQ(LogOf(run),
              L"    ------- 3 existing monitors ----------\r\n"
              L"    1. Local Port\r\n"
              L"    2. ***EMPTY***\r\n"
              L"    3. Zantorelle:\r\n"
              L"    ---------------------------------------\r\n");
    EXPECT_EQ(run.logDepth, 2);
    FreeCountedString(run.logText);
}

}  // namespace
