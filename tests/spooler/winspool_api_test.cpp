#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "core/kernel_api.h"
#include "core/os_tables.h"
#include "core/session_api.h"
#include "core/product.h"
#include "spooler/spooler_scratch.h"
#include "spooler/winspool_api.h"
#include "support/scoped_override.h"
#include "support/test_support.h"

namespace {

using AddPrinterFn = decltype(&::AddPrinterW);

bool AsksForWine(LPCSTR name) {
    return HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0 &&
           lstrcmpA(name, "wine_get_version") == 0;
}

FARPROC WINAPI LooksLikeWindows(HMODULE module, LPCSTR name) {
    if (AsksForWine(name)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return ::GetProcAddress(module, name);
}

FARPROC WINAPI LooksLikeWine(HMODULE module, LPCSTR name) {
    if (AsksForWine(name)) {
        // Any export will do: only its presence is asked for.
        return ::GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetVersion");
    }
    return ::GetProcAddress(module, name);
}

AddPrinterFn SpoolersOwnAddPrinterW() {
    return reinterpret_cast<AddPrinterFn>(reinterpret_cast<void*>(
        ::GetProcAddress(GetModuleHandleW(L"winspool.drv"), "AddPrinterW")));
}

struct AddSpy {
    static inline int calls;
    static inline LPWSTR server;
    static inline DWORD level;
    static inline LPBYTE data;
    static inline std::wstring name;
    static inline std::wstring datatype;
};

HANDLE WINAPI RecordAdd(LPWSTR server, DWORD level, LPBYTE data) {
    ++AddSpy::calls;
    AddSpy::server = server;
    AddSpy::level = level;
    AddSpy::data = data;
    const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(data);
    AddSpy::name = info && info->pPrinterName ? info->pPrinterName : L"(none)";
    AddSpy::datatype = info && info->pDatatype ? info->pDatatype : L"(none)";
    SetLastError(ERROR_PRINTER_ALREADY_EXISTS);
    return reinterpret_cast<HANDLE>(0x5150);
}

PRINTER_INFO_2W NewPrinter(const wchar_t* name) {
    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(name);
    info.pPortName = const_cast<LPWSTR>(L"FILE:");
    info.pDriverName = const_cast<LPWSTR>(kDriverName);
    info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
    return info;
}

// Binds the tables again as on the system the test pretends to be, and puts
// the tables of the real system back afterwards.
class SpoolerBindingTest : public testing::Test {
protected:
    void TearDown() override {
        winspool = savedWinspool;
        version = savedVersion;
        winspool_detail::exports = savedExports;
    }
    void BindAs(FARPROC(WINAPI* detection)(HMODULE, LPCSTR)) {
        ScopedOverride system(kernel.GetProcAddress, detection);
        ASSERT_TRUE(BindSpoolerLibraries());
        AddSpy::calls = 0;
    }

    const WinspoolApi savedWinspool = winspool;
    const VersionApi savedVersion = version;
    const WinspoolApi savedExports = winspool_detail::exports;
};

// A function this Windows lacks keeps the installer from starting, unless
// the list marks it optional: then it fails as a missing export would, and
// never answers as a success does. A library that is missing altogether
// leaves only optional entries.
TEST(OsTableBinding, AMissingFunctionFailsOnlyWhereItIsOptional) {
    struct {
        decltype(&::GetTickCount) present;
        decltype(&::CreatePrivateNamespaceW) missing;
    } table = {};
    constexpr char names[] = "GetTickCount\0ZrlNoSuchExport\0";
    const unsigned short optional[] = {kKept, kFaulted | kOptional};
    const unsigned short required[] = {kKept, kFaulted};
    const unsigned short allOptional[] = {kOptional, kOptional};
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");

    ASSERT_TRUE(BindOsTable(kernel32, {L"kernel32.dll", names, optional, &table, 2}));
    EXPECT_EQ(reinterpret_cast<void*>(table.present),
              reinterpret_cast<void*>(GetProcAddress(kernel32, "GetTickCount")));
    SetLastError(kPoison);
    EXPECT_EQ(table.missing(nullptr, nullptr, L"Zrl"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    table = {};
    EXPECT_FALSE(BindOsTable(kernel32, {L"kernel32.dll", names, required, &table, 2}));
    EXPECT_FALSE(BindOsTable(nullptr, {L"zrlnone.dll", names, optional, &table, 2}));
    ASSERT_TRUE(BindOsTable(nullptr, {L"zrlnone.dll", names, allOptional, &table, 2}));
    SetLastError(kPoison);
    EXPECT_EQ(table.present(), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    // userenv and wtsapi32 are loaded only when a run first needs them, and
    // the binding keeps an entry a test put in place.
    ASSERT_TRUE(BindSystemTables());
    LPWSTR text = nullptr;
    DWORD bytes = 0;
    EXPECT_FALSE(wtsapi.WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION,
                                                    WTSUserName, &text, &bytes));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    ScopedOverride keep(
        wtsapi.WTSQueryUserToken, +[](ULONG, PHANDLE) -> BOOL { return TRUE; });
    BindSessionTables();
    ASSERT_TRUE(wtsapi.WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION,
                                                   WTSUserName, &text, &bytes));
    wtsapi.WTSFreeMemory(text);
    EXPECT_TRUE(wtsapi.WTSQueryUserToken(0, nullptr));
}

TEST_F(SpoolerBindingTest, OnWindowsTheTableCallsTheSpoolerDirectly) {
    BindAs(&LooksLikeWindows);
    ASSERT_NE(SpoolersOwnAddPrinterW(), nullptr);
    EXPECT_EQ(winspool.AddPrinterW, SpoolersOwnAddPrinterW());
    EXPECT_EQ(winspool_detail::exports.AddPrinterW, SpoolersOwnAddPrinterW());
    EXPECT_EQ(winspool.DeletePrinterDriverExW, winspool_detail::exports.DeletePrinterDriverExW);
}

TEST_F(SpoolerBindingTest, OnWineAPrinterWithoutDatatypeGetsRaw) {
    BindAs(&LooksLikeWine);
    ASSERT_NE(winspool.AddPrinterW, SpoolersOwnAddPrinterW());
    EXPECT_EQ(winspool_detail::exports.AddPrinterW, SpoolersOwnAddPrinterW());
    ScopedOverride spy(winspool_detail::exports.AddPrinterW, &RecordAdd);
    PRINTER_INFO_2W info = NewPrinter(L"Zrl Office");
    SetLastError(kPoison);
    HANDLE printer = winspool.AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    EXPECT_EQ(printer, reinterpret_cast<HANDLE>(0x5150));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_ALREADY_EXISTS));
    EXPECT_EQ(AddSpy::calls, 1);
    EXPECT_EQ(AddSpy::server, nullptr);
    EXPECT_EQ(AddSpy::level, 2u);
    EXPECT_EQ(AddSpy::name, L"Zrl Office");
    EXPECT_EQ(AddSpy::datatype, L"RAW");
    EXPECT_EQ(info.pDatatype, nullptr);
}

TEST_F(SpoolerBindingTest, OnWineAGivenDatatypeAndOtherLevelsPassUnchanged) {
    BindAs(&LooksLikeWine);
    ScopedOverride spy(winspool_detail::exports.AddPrinterW, &RecordAdd);
    PRINTER_INFO_2W info = NewPrinter(L"Zrl Office");
    info.pDatatype = const_cast<LPWSTR>(L"NT EMF 1.008");
    winspool.AddPrinterW(const_cast<LPWSTR>(L"\\\\server"), 2, reinterpret_cast<BYTE*>(&info));
    EXPECT_EQ(AddSpy::data, reinterpret_cast<BYTE*>(&info));
    EXPECT_EQ(std::wstring(AddSpy::server), L"\\\\server");
    EXPECT_EQ(AddSpy::datatype, L"NT EMF 1.008");

    PRINTER_INFO_1W one = {};
    winspool.AddPrinterW(nullptr, 1, reinterpret_cast<BYTE*>(&one));
    EXPECT_EQ(AddSpy::level, 1u);
    EXPECT_EQ(AddSpy::data, reinterpret_cast<BYTE*>(&one));
    EXPECT_EQ(AddSpy::calls, 2);
}

// A spooler that answers as Wine's does: every delete flag is refused, a
// driver removed without flags leaves its files. Two drivers share one file.
struct WineDrivers {
    static inline std::wstring dir;
    static inline std::wstring own, shared, ui, other;
    static inline std::vector<DWORD> flagsAsked;
    static inline DWORD refusal;
    static inline DRIVER_INFO_3W records[2];
    static inline std::wstring dependents;

    static void Make(const std::wstring& folder) {
        dir = folder;
        own = dir + L"\\zrldrv64.dll";
        ui = dir + L"\\ZRLUI64.DLL";
        shared = dir + L"\\shared.dll";
        other = dir + L"\\other.dll";
        for (const auto* path : {&own, &ui, &shared, &other}) {
            WriteFileBytes(*path, "x");
        }
        flagsAsked.clear();
        refusal = ERROR_INVALID_PARAMETER;
        dependents = shared + L'\0';
        records[0] = {3,
                      const_cast<LPWSTR>(L"Zrl Other"),
                      nullptr,
                      other.data(),
                      other.data(),
                      other.data(),
                      nullptr,
                      shared.data(),
                      nullptr,
                      nullptr};
        // The UI DLL named in another case than on disk is still the same file.
        std::wstring uiAsNamed = dir + L"\\zrlui64.dll";
        static std::wstring uiName;
        uiName = uiAsNamed;
        records[1] = {3,          const_cast<LPWSTR>(kDriverName),
                      nullptr,    own.data(),
                      own.data(), uiName.data(),
                      nullptr,    dependents.data(),
                      nullptr,    nullptr};
    }
};

BOOL WINAPI WineDeleteDriver(LPWSTR, LPWSTR, LPWSTR name, DWORD flags, DWORD) {
    WineDrivers::flagsAsked.push_back(flags);
    if (flags != 0 || std::wstring(name) != kDriverName) {
        SetLastError(flags != 0 ? WineDrivers::refusal : ERROR_UNKNOWN_PRINTER_DRIVER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI WineListDrivers(LPWSTR, LPWSTR, DWORD level, LPBYTE block, DWORD size, LPDWORD needed,
                            LPDWORD count) {
    *needed = sizeof(WineDrivers::records);
    *count = level == 3 ? 2 : 0;
    if (level != 3 || !block || size < *needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    CopyMemory(block, WineDrivers::records, sizeof(WineDrivers::records));
    return TRUE;
}

class WineDriverRemovalTest : public SpoolerBindingTest {
protected:
    void SetUp() override {
        BindAs(&LooksLikeWine);
        folder_ = MakeTempDir(L"driver-removal");
        WineDrivers::Make(folder_);
    }
    void TearDown() override {
        RemoveTree(folder_);
        SpoolerBindingTest::TearDown();
    }
    BOOL Delete(DWORD flags) {
        ScopedOverride remove(winspool_detail::exports.DeletePrinterDriverExW, &WineDeleteDriver);
        ScopedOverride list(winspool_detail::exports.EnumPrinterDriversW, &WineListDrivers);
        SetLastError(kPoison);
        return winspool.DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(kEnvironment),
                                               const_cast<LPWSTR>(kDriverName), flags, 0);
    }
    std::wstring folder_;
};

TEST_F(WineDriverRemovalTest, FlagsWineRefusesAreCarriedOutAsWindowsWould) {
    ASSERT_NE(winspool.DeletePrinterDriverExW, winspool_detail::exports.DeletePrinterDriverExW);
    // Windows removes nothing when another driver names one of the files.
    EXPECT_FALSE(Delete(DPD_DELETE_ALL_FILES));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
    EXPECT_EQ(WineDrivers::flagsAsked, (std::vector<DWORD>{DPD_DELETE_ALL_FILES}));
    EXPECT_TRUE(FileExists(WineDrivers::own));

    WineDrivers::flagsAsked.clear();
    EXPECT_TRUE(Delete(DPD_DELETE_UNUSED_FILES));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(WineDrivers::flagsAsked, (std::vector<DWORD>{DPD_DELETE_UNUSED_FILES, 0}));
    EXPECT_FALSE(FileExists(WineDrivers::own));
    EXPECT_FALSE(FileExists(WineDrivers::ui));
    EXPECT_TRUE(FileExists(WineDrivers::shared));  // the other driver still needs it
    EXPECT_TRUE(FileExists(WineDrivers::other));
}

TEST_F(WineDriverRemovalTest, OtherAnswersOfTheSpoolerPassUnchanged) {
    // Without delete flags Wine's own answer is the answer.
    EXPECT_TRUE(Delete(0));
    EXPECT_EQ(WineDrivers::flagsAsked, (std::vector<DWORD>{0}));
    EXPECT_TRUE(FileExists(WineDrivers::own));

    // A refusal other than Wine's "unsupported flags" is the caller's to handle
    // (the driver in use, say), with its own error code.
    WineDrivers::flagsAsked.clear();
    WineDrivers::refusal = ERROR_PRINTER_DRIVER_IN_USE;
    EXPECT_FALSE(Delete(DPD_DELETE_ALL_FILES));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
    EXPECT_EQ(WineDrivers::flagsAsked, (std::vector<DWORD>{DPD_DELETE_ALL_FILES}));
    EXPECT_TRUE(FileExists(WineDrivers::own));
}

TEST_F(WineDriverRemovalTest, WithoutTheDriverListNothingIsRemoved) {
    ScopedOverride noMemory(kernel.GlobalAlloc, [](UINT, SIZE_T) -> HGLOBAL {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    });
    EXPECT_FALSE(Delete(DPD_DELETE_ALL_FILES));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(WineDrivers::flagsAsked.size(), 1u);
    EXPECT_TRUE(FileExists(WineDrivers::own));
}

// The tables as the test program bound them at start-up: this is Wine.
TEST(SpoolerBinding, UnderWineTheBoundTableMakesPrintersThatOpenOncePerName) {
    constexpr wchar_t kName[] = L"Zrl Bound";
    SpoolerScratch scratch;
    ASSERT_TRUE(scratch.AddDriver(kDriverName));
    PRINTER_INFO_2W info = NewPrinter(kName);
    scratch.ExpectPrinter(kName);
    UniquePrinter printer(winspool.AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info)));
    ASSERT_TRUE(printer) << GetLastError();
    EXPECT_TRUE(scratch.PrinterExists(kName));
    BYTE block[4096] = {};
    DWORD needed = 0;
    ASSERT_TRUE(winspool.GetPrinterW(printer.Get(), 2, block, sizeof(block), &needed));
    EXPECT_STREQ(reinterpret_cast<PRINTER_INFO_2W*>(block)->pDatatype, L"RAW");

    SetLastError(kPoison);
    EXPECT_EQ(winspool.AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_ALREADY_EXISTS));
}

// Wine's own spooler behind the bound table: the product's driver goes with
// the files the spooler copied, as on Windows.
TEST(SpoolerBinding, UnderWineTheBoundTableRemovesADriverWithItsFiles) {
    SpoolerScratch scratch;
    scratch.ExpectDriver(kDriverName);
    // Staged in the printer-driver directory, as the installer does: Wine's
    // spooler copies only from there.
    wchar_t staging[MAX_PATH] = {};
    DWORD bytes = 0;
    ASSERT_TRUE(winspool.GetPrinterDriverDirectoryW(nullptr, const_cast<LPWSTR>(kEnvironment), 1,
                                                    reinterpret_cast<BYTE*>(staging),
                                                    sizeof(staging), &bytes));
    std::wstring driver = std::wstring(staging) + L"\\" + kDriverDll;
    std::wstring ui = std::wstring(staging) + L"\\" + kUiDll;
    ASSERT_TRUE(CopyFileW((SetupDir() + L"\\" + kDriverDll).c_str(), driver.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((SetupDir() + L"\\" + kUiDll).c_str(), ui.c_str(), FALSE));
    DRIVER_INFO_3W info = {};
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(kDriverName);
    info.pEnvironment = const_cast<LPWSTR>(kEnvironment);
    info.pDriverPath = driver.data();
    info.pDataFile = driver.data();
    info.pConfigFile = ui.data();
    ASSERT_TRUE(winspool.AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&info),
                                             APD_COPY_ALL_FILES));
    BYTE block[8192] = {};
    DWORD needed = 0;
    DWORD count = 0;
    ASSERT_TRUE(winspool.EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(kEnvironment), 3, block,
                                             sizeof(block), &needed, &count));
    std::wstring copied;
    for (DWORD i = 0; i < count; ++i) {
        const auto& record = reinterpret_cast<DRIVER_INFO_3W*>(block)[i];
        if (std::wstring(record.pName) == kDriverName) {
            copied = record.pDriverPath;
        }
    }
    ASSERT_TRUE(FileExists(copied)) << copied;

    EXPECT_TRUE(winspool.DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(kEnvironment),
                                                const_cast<LPWSTR>(kDriverName),
                                                DPD_DELETE_ALL_FILES, 0))
        << GetLastError();
    EXPECT_FALSE(FileExists(copied));
    DeleteFileW(driver.c_str());
    DeleteFileW(ui.c_str());
    EXPECT_FALSE(winspool.DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(kEnvironment),
                                                 const_cast<LPWSTR>(kDriverName), 0, 0));
}

}  // namespace
