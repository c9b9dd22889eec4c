#include <gmock/gmock.h>

#include <string>

#include "core/kernel_api.h"
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
        winspool_detail::spoolerAddPrinterW = savedSpoolerAdd;
    }
    void BindAs(FARPROC(WINAPI* detection)(HMODULE, LPCSTR)) {
        ScopedOverride system(kernel.GetProcAddress, detection);
        ASSERT_TRUE(BindSpoolerLibraries());
        AddSpy::calls = 0;
    }

    const WinspoolApi savedWinspool = winspool;
    const VersionApi savedVersion = version;
    const AddPrinterFn savedSpoolerAdd = winspool_detail::spoolerAddPrinterW;
};

TEST_F(SpoolerBindingTest, OnWindowsTheTableCallsTheSpoolerDirectly) {
    BindAs(&LooksLikeWindows);
    ASSERT_NE(SpoolersOwnAddPrinterW(), nullptr);
    EXPECT_EQ(winspool.AddPrinterW, SpoolersOwnAddPrinterW());
    EXPECT_EQ(winspool_detail::spoolerAddPrinterW, SpoolersOwnAddPrinterW());
}

TEST_F(SpoolerBindingTest, OnWineAPrinterWithoutDatatypeGetsRaw) {
    BindAs(&LooksLikeWine);
    ASSERT_NE(winspool.AddPrinterW, SpoolersOwnAddPrinterW());
    EXPECT_EQ(winspool_detail::spoolerAddPrinterW, SpoolersOwnAddPrinterW());
    ScopedOverride spy(winspool_detail::spoolerAddPrinterW, &RecordAdd);
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
    ScopedOverride spy(winspool_detail::spoolerAddPrinterW, &RecordAdd);
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

// The tables as the test program bound them at start-up: this is Wine.
TEST(SpoolerBinding, UnderWineTheBoundTableMakesPrintersThatOpen) {
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
}

}  // namespace
