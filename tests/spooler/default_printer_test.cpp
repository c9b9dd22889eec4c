#include <gmock/gmock.h>

#include <string>

#include "core/kernel_api.h"
#include "core/product.h"
#include "spooler/default_printer.h"
#include "spooler/enumerations.h"
#include "spooler/winspool_api.h"
#include "spooler/spooler_scratch.h"
#include "support/scoped_override.h"
#include "support/test_support.h"

namespace {

constexpr wchar_t kOffice[] = L"Zrl Office";
constexpr wchar_t kPlain[] = L"Zrl Plain";
constexpr wchar_t kSecond[] = L"Zrl Second";
constexpr wchar_t kOtherDriver[] = L"Zrl Generic Text";

class DefaultPrinterTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(scratch.DefaultPrinter(), L"") << "the shared prefix has a default printer";
        ASSERT_TRUE(scratch.AddDriver(kDriverName));
        ASSERT_TRUE(scratch.AddDriver(kOtherDriver));
    }
    void TearDown() override { FreePrinterList(run.printers, run.printerCount); }

    // Names of the run's entries that carry the default mark.
    std::wstring MarkedPrinters() const {
        std::wstring marked;
        for (UINT32 i = 0; i < run.printerCount; ++i) {
            if (run.printers[i].Attributes & PRINTER_ATTRIBUTE_DEFAULT) {
                marked += std::wstring(run.printers[i].pPrinterName) + L";";
            }
        }
        return marked;
    }

    SpoolerScratch scratch;
    InstallRun run = EmptyRun();
};

TEST_F(DefaultPrinterTest, WithoutADefaultNothingIsMarkedAndTheCheckSaysTrue) {
    ASSERT_TRUE(scratch.AddPrinter(kOffice, kDriverName));
    MarkDefaultPrinter(run);
    EXPECT_GE(run.printerCount, 1u);
    EXPECT_EQ(MarkedPrinters(), L"");
    EXPECT_TRUE(DefaultPrinterCheck());
}

TEST_F(DefaultPrinterTest, AProductPrinterAsDefaultIsMarkedAndFailsTheCheck) {
    ASSERT_TRUE(scratch.AddPrinter(kPlain, kOtherDriver));
    ASSERT_TRUE(scratch.AddPrinter(kOffice, kDriverName));
    ASSERT_TRUE(winspool.SetDefaultPrinterW(kOffice));
    MarkDefaultPrinter(run);
    EXPECT_EQ(MarkedPrinters(), std::wstring(kOffice) + L";");
    AllocationCounter counter;
    EXPECT_FALSE(DefaultPrinterCheck());
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(DefaultPrinterTest, AnotherPrinterAsDefaultPassesTheCheck) {
    ASSERT_TRUE(scratch.AddPrinter(kOffice, kDriverName));
    ASSERT_TRUE(scratch.AddPrinter(kPlain, kOtherDriver));
    ASSERT_TRUE(winspool.SetDefaultPrinterW(kPlain));
    MarkDefaultPrinter(run);
    EXPECT_EQ(MarkedPrinters(), std::wstring(kPlain) + L";");
    EXPECT_TRUE(DefaultPrinterCheck());
}

// Wine keeps the driver name of a printer as it was given.
TEST_F(DefaultPrinterTest, ADriverNameDifferingOnlyInCaseIsNotTheProducts) {
    ASSERT_TRUE(scratch.AddPrinter(kOffice, L"ZANTORELLE PRINTER"));
    ASSERT_TRUE(winspool.SetDefaultPrinterW(kOffice));
    EXPECT_TRUE(DefaultPrinterCheck());
}

// Wine stores the default printer's name as it was set.
TEST_F(DefaultPrinterTest, ADefaultNameDifferingOnlyInCaseIsNotMarked) {
    ASSERT_TRUE(scratch.AddPrinter(kOffice, kDriverName));
    ASSERT_TRUE(winspool.SetDefaultPrinterW(L"ZRL OFFICE"));
    ASSERT_EQ(scratch.DefaultPrinter(), L"ZRL OFFICE");
    MarkDefaultPrinter(run);
    EXPECT_GE(run.printerCount, 1u);
    EXPECT_EQ(MarkedPrinters(), L"");
}

TEST_F(DefaultPrinterTest, AFailedQueryMarksNothing) {
    ASSERT_TRUE(scratch.AddPrinter(kOffice, kDriverName));
    ASSERT_TRUE(winspool.SetDefaultPrinterW(kOffice));
    // Fills the name and still reports failure: the result decides.
    ScopedOverride failing(winspool.GetDefaultPrinterW, [](LPWSTR name, LPDWORD) -> BOOL {
        lstrcpyW(name, kOffice);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    });
    MarkDefaultPrinter(run);
    EXPECT_GE(run.printerCount, 1u);
    EXPECT_EQ(MarkedPrinters(), L"");
}

TEST_F(DefaultPrinterTest, MarkingRefillsTheRunsListWithoutLeaking) {
    ASSERT_TRUE(scratch.AddPrinter(kOffice, kDriverName));
    ASSERT_TRUE(winspool.SetDefaultPrinterW(kOffice));
    AllocationCounter counter;
    MarkDefaultPrinter(run);
    MarkDefaultPrinter(run);
    EXPECT_EQ(counter.GlobalBlocks(), 1);
    EXPECT_EQ(MarkedPrinters(), std::wstring(kOffice) + L";");
    FreePrinterList(run.printers, run.printerCount);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

// The check reads the name out of the buffer and ignores the query's result.
TEST_F(DefaultPrinterTest, TheCheckTakesTheNameWhateverTheQueryReports) {
    ASSERT_TRUE(scratch.AddPrinter(kOffice, kDriverName));
    ScopedOverride failing(winspool.GetDefaultPrinterW, [](LPWSTR name, LPDWORD) -> BOOL {
        lstrcpyW(name, kOffice);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    });
    EXPECT_FALSE(DefaultPrinterCheck());
}

TEST_F(DefaultPrinterTest, ADefaultThatDoesNotOpenPassesTheCheck) {
    ASSERT_TRUE(scratch.AddPrinter(kOffice, kDriverName));
    ASSERT_TRUE(winspool.SetDefaultPrinterW(kOffice));
    ScopedOverride refused(winspool.OpenPrinterW,
                           [](LPWSTR, LPHANDLE, LPPRINTER_DEFAULTSW) -> BOOL {
                               SetLastError(ERROR_ACCESS_DENIED);
                               return FALSE;
                           });
    EXPECT_TRUE(DefaultPrinterCheck());
}

struct CloseSpy {
    static inline decltype(winspool.ClosePrinter) real;
    static inline int closes;
};

TEST_F(DefaultPrinterTest, ADefaultWhoseRecordCannotBeReadPassesTheCheckAndIsClosed) {
    ASSERT_TRUE(scratch.AddPrinter(kOffice, kDriverName));
    ASSERT_TRUE(winspool.SetDefaultPrinterW(kOffice));
    CloseSpy::real = winspool.ClosePrinter;
    CloseSpy::closes = 0;
    AllocationCounter counter;
    ScopedOverride unreadable(winspool.GetPrinterW,
                              [](HANDLE, DWORD, LPBYTE, DWORD, LPDWORD) -> BOOL {
                                  SetLastError(ERROR_ACCESS_DENIED);
                                  return FALSE;
                              });
    ScopedOverride closes(winspool.ClosePrinter, [](HANDLE printer) -> BOOL {
        ++CloseSpy::closes;
        return CloseSpy::real(printer);
    });
    EXPECT_TRUE(DefaultPrinterCheck());
    EXPECT_EQ(CloseSpy::closes, 1);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

// The product printer that the spooler lists first, after a printer of
// another driver that comes before both.
std::wstring FirstProductPrinter() {
    PrinterList list = {};
    EnumeratePrinters(list);
    std::wstring first;
    for (UINT32 i = 0; i < list.count && first.empty(); ++i) {
        if (std::wstring(list.buffer[i].pDriverName) == kDriverName) {
            first = list.buffer[i].pPrinterName;
        }
    }
    FreePrinterList(list);
    return first;
}

TEST_F(DefaultPrinterTest, SetProductPrinterDefaultTakesTheFirstProductPrinter) {
    ASSERT_TRUE(scratch.AddPrinter(kSecond, kDriverName));
    ASSERT_TRUE(scratch.AddPrinter(kPlain, kOtherDriver));
    ASSERT_TRUE(scratch.AddPrinter(kOffice, kDriverName));
    std::wstring first = FirstProductPrinter();
    ASSERT_THAT(first, testing::AnyOf(std::wstring(kOffice), std::wstring(kSecond)));
    AllocationCounter counter;
    SetProductPrinterDefault();
    EXPECT_EQ(scratch.DefaultPrinter(), first);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(DefaultPrinterTest, SetProductPrinterDefaultWithoutProductPrintersChangesNothing) {
    ASSERT_TRUE(scratch.AddPrinter(kPlain, kOtherDriver));
    ASSERT_TRUE(scratch.AddPrinter(kOffice, L"ZANTORELLE PRINTER"));
    SetProductPrinterDefault();
    EXPECT_EQ(scratch.DefaultPrinter(), L"");
    ASSERT_TRUE(winspool.SetDefaultPrinterW(kPlain));
    SetProductPrinterDefault();
    EXPECT_EQ(scratch.DefaultPrinter(), kPlain);
}

TEST_F(DefaultPrinterTest, SetProductPrinterDefaultAfterAFailedEnumerationChangesNothing) {
    ASSERT_TRUE(scratch.AddPrinter(kOffice, kDriverName));
    AllocationCounter counter;
    ScopedOverride stopped(winspool.EnumPrintersW,
                           [](DWORD, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD) -> BOOL {
                               SetLastError(RPC_S_SERVER_UNAVAILABLE);
                               return FALSE;
                           });
    SetProductPrinterDefault();
    EXPECT_EQ(scratch.DefaultPrinter(), L"");
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

}  // namespace
