#include <gmock/gmock.h>
#include <windows.h>
#include <lmerr.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/counted_string.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "spooler/default_printer.h"
#include "spooler/enumerations.h"
#include "spooler/printer_journal.h"
#include "spooler/printer_record.h"
#include "spooler/printer_settings.h"
#include "spooler/printers.h"
#include "spooler/spooler_scratch.h"
#include "spooler/winspool_api.h"
#include "support/scoped_override.h"
#include "support/test_support.h"
#include "core/advapi_api.h"

namespace {

constexpr wchar_t kOffice[] = L"Zrl Office";
constexpr wchar_t kPrinterA[] = L"Zrl Printer A";
constexpr wchar_t kPrinterB[] = L"Zrl Printer B";
constexpr wchar_t kPlain[] = L"Zrl Plain";
constexpr wchar_t kOtherDriver[] = L"Zrl Generic Text";
constexpr wchar_t kVendorKey[] = L"Software\\Dravish Software KFT";
constexpr wchar_t kSettingsRoot[] = L"Software\\Dravish Software KFT\\Zantorelle\\Zantorelles";

// Settings keys a test makes below the product key in HKEY_CURRENT_USER. What
// did not exist before is removed again, also after a failed assertion.
class SettingsScratch {
public:
    SettingsScratch() {
        for (const wchar_t* key : kAncestors) {
            if (!KeyExists(key)) {
                created_ = key;
                break;
            }
        }
    }
    ~SettingsScratch() {
        if (!created_.empty()) {
            RegDeleteTreeW(HKEY_CURRENT_USER, created_.c_str());
            RegDeleteKeyW(HKEY_CURRENT_USER, created_.c_str());
        }
        for (const auto& key : keys_) {
            RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
            RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
        }
    }
    SettingsScratch(const SettingsScratch&) = delete;
    SettingsScratch& operator=(const SettingsScratch&) = delete;

    // A settings key with the value "deleted" and one other value.
    bool AddKey(const std::wstring& subKey, bool markedDeleted = true) {
        std::wstring path = Path(subKey);
        if (created_.empty() && !KeyExists(path.c_str())) {
            keys_.push_back(path);
        }
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr) != ERROR_SUCCESS) {
            return false;
        }
        DWORD one = 1;
        bool ok = RegSetValueExW(key, L"pages", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one),
                                 sizeof(one)) == ERROR_SUCCESS;
        if (markedDeleted) {
            ok = ok && RegSetValueExW(key, L"deleted", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one),
                                      sizeof(one)) == ERROR_SUCCESS;
        }
        RegCloseKey(key);
        return ok;
    }

    static bool HasValue(const std::wstring& subKey, const wchar_t* value) {
        return RegGetValueW(HKEY_CURRENT_USER, Path(subKey).c_str(), value, RRF_RT_ANY, nullptr,
                            nullptr, nullptr) == ERROR_SUCCESS;
    }

private:
    static constexpr const wchar_t* kAncestors[] = {
        kVendorKey, L"Software\\Dravish Software KFT\\Zantorelle", kSettingsRoot};

    static std::wstring Path(const std::wstring& subKey) {
        return std::wstring(kSettingsRoot) + L"\\" + subKey;
    }
    static bool KeyExists(const wchar_t* path) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return false;
        }
        RegCloseKey(key);
        return true;
    }

    std::wstring created_;
    std::vector<std::wstring> keys_;
};

std::wstring MonitorDll() {
    std::wstring staged = SetupDir() + L"\\" + kMonitorDll;
    if (FileExists(staged)) {
        return staged;
    }
    std::wstring built = BuildDir() + L"\\stand-ins\\" + kMonitorDll;
    return FileExists(built) ? built : L"";
}

struct PrinterState {
    std::wstring port;
    std::wstring driver;
    std::wstring processor;
    std::wstring comment;
    std::wstring location;
};

std::wstring Text(const wchar_t* text) {
    return text ? text : L"(none)";
}

HGLOBAL WINAPI NoGlobalMemory(UINT, SIZE_T) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

class PrintersTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(scratch.DefaultPrinter(), L"") << "the shared prefix has a default printer";
        ASSERT_TRUE(scratch.AddDriver(kDriverName));
        ASSERT_TRUE(scratch.AddDriver(kOtherDriver));
    }
    void TearDown() override {
        FreeSavedPrinters(run.savedPrinters);
        FreePrinterList(run.printers, run.printerCount);
        FreeCountedString(run.logText);
    }

    void AddMonitor() {
        std::wstring dll = MonitorDll();
        ASSERT_FALSE(dll.empty()) << "no stand-in monitor: run `ctest -R stage` first";
        ASSERT_TRUE(scratch.AddMonitor(dll));
        ASSERT_TRUE(PortOffered(kPortName));
    }

    // EnumPortsW is not in the table: the product never lists ports.

    // A printer on "FILE:" with the SubKey written plain, under "DsUser", or both.
    void AddPrinter(const wchar_t* name, const wchar_t* driver, const char* plain = nullptr,
                    const char* dsUser = nullptr) {
        ASSERT_TRUE(scratch.AddPrinter(name, driver));
        UniquePrinter printer(scratch.OpenForDelete(name));
        ASSERT_TRUE(printer);
        if (plain) {
            ASSERT_EQ(SetData(printer.Get(), nullptr, plain), static_cast<DWORD>(ERROR_SUCCESS));
        }
        if (dsUser) {
            ASSERT_EQ(SetData(printer.Get(), "DsUser", dsUser), static_cast<DWORD>(ERROR_SUCCESS));
        }
    }

    DWORD SetData(HANDLE printer, const char* key, const std::string& text, DWORD type = REG_SZ) {
        auto* data = reinterpret_cast<BYTE*>(const_cast<char*>(text.c_str()));
        auto bytes = static_cast<DWORD>(text.size() + 1);
        return key ? real.SetPrinterDataExA(printer, key, "SubKey", type, data, bytes)
                   : real.SetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), type, data, bytes);
    }

    // The SubKey as stored, or "(none)" when it is missing or not REG_SZ.
    std::string StoredSubKey(const wchar_t* name, const char* key) {
        UniquePrinter printer(scratch.OpenForDelete(name));
        if (!printer) {
            return "(no printer)";
        }
        char text[256] = {};
        DWORD type = 0;
        DWORD needed = 0;
        auto* data = reinterpret_cast<BYTE*>(text);
        DWORD status = key ? real.GetPrinterDataExA(printer.Get(), key, "SubKey", &type, data,
                                                    sizeof(text), &needed)
                           : real.GetPrinterDataA(printer.Get(), const_cast<LPSTR>("SubKey"), &type,
                                                  data, sizeof(text), &needed);
        return status == ERROR_SUCCESS && type == REG_SZ ? text : "(none)";
    }

    PrinterState StateOf(const wchar_t* name) {
        UniquePrinter printer(scratch.OpenForDelete(name));
        if (!printer) {
            return {L"(no printer)", L"", L"", L"", L""};
        }
        std::vector<BYTE> block(8192);
        DWORD needed = 0;
        if (!real.GetPrinterW(printer.Get(), 2, block.data(), static_cast<DWORD>(block.size()),
                              &needed)) {
            return {L"(unreadable)", L"", L"", L"", L""};
        }
        const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(block.data());
        return {Text(info->pPortName), Text(info->pDriverName), Text(info->pPrintProcessor),
                Text(info->pComment), Text(info->pLocation)};
    }

    void SetCommentAndLocation(const wchar_t* name, const wchar_t* comment,
                               const wchar_t* location) {
        UniquePrinter printer(scratch.OpenForDelete(name));
        ASSERT_TRUE(printer);
        std::vector<BYTE> block(8192);
        DWORD needed = 0;
        ASSERT_TRUE(real.GetPrinterW(printer.Get(), 2, block.data(),
                                     static_cast<DWORD>(block.size()), &needed));
        auto* info = reinterpret_cast<PRINTER_INFO_2W*>(block.data());
        info->pComment = const_cast<LPWSTR>(comment);
        info->pLocation = const_cast<LPWSTR>(location);
        ASSERT_TRUE(real.SetPrinterW(printer.Get(), 2, block.data(), 0));
        ASSERT_EQ(StateOf(name).comment, comment);
    }

    // Position of a printer in the run's enumeration, or -1.
    int IndexInRun(const wchar_t* name) const {
        for (UINT32 i = 0; i < run.printerCount; ++i) {
            if (std::wstring(run.printers[i].pPrinterName) == name) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    std::vector<std::string> SavedSubKeys() const {
        std::vector<std::string> keys;
        for (const SavedPrinter* saved = run.savedPrinters; saved; saved = saved->next) {
            keys.push_back(saved->subKey);
        }
        return keys;
    }

    static std::wstring AddedWithMonitor(const wchar_t* name) {
        return std::wstring(L">AddPrinter(") + name +
               L")\r\n"
               L"  Let's check our port monitors\r\n"
               L"  Port monitor is found\r\n"
               L"  OK :)\r\n";
    }

    SpoolerScratch scratch;
    SettingsScratch settings;
    const WinspoolApi real = winspool;
    InstallRun run = EmptyRun();
};

// ---- AddProductPrinter ----------------------------------------------------------

TEST_F(PrintersTest, AddsAPrinterOnTheProductPortWithWinPrint) {
    AddMonitor();
    scratch.ExpectPrinter(kOffice);
    run.logDepth = 1;
    SetLastError(kPoison);
    UniquePrinter printer(AddProductPrinter(run, kOffice));
    ASSERT_TRUE(printer);
    EXPECT_EQ(LogOf(run),
              L"  >AddPrinter(Zrl Office)\r\n"
              L"    Let's check our port monitors\r\n"
              L"    Port monitor is found\r\n"
              L"    OK :)\r\n");
    EXPECT_EQ(run.logDepth, 1);
    EXPECT_EQ(run.errorCount, 0);
    PrinterState state = StateOf(kOffice);
    EXPECT_EQ(state.port, kPortName);
    EXPECT_EQ(state.driver, kDriverName);
    EXPECT_EQ(state.processor, L"WinPrint");
    EXPECT_EQ(state.location, L"(none)");
}

TEST_F(PrintersTest, WithoutTheMonitorTheInstalledMonitorsAreListedAndThePrinterStillAdded) {
    static int adds;
    static decltype(winspool.AddPrinterW) realAdd;
    adds = 0;
    realAdd = winspool.AddPrinterW;
    ScopedOverride counted(winspool.AddPrinterW, [](LPWSTR server, DWORD level, LPBYTE data) {
        ++adds;
        return realAdd(server, level, data);
    });
    scratch.ExpectPrinter(kOffice);
    UniquePrinter printer(AddProductPrinter(run, kOffice));
    EXPECT_EQ(adds, 1);
    EXPECT_TRUE(printer);
    EXPECT_EQ(LogOf(run),
              L">AddPrinter(Zrl Office)\r\n"
              L"  Let's check our port monitors\r\n"
              L"  No Zantorelle port monitor was found.\r\n"
              L"  ------- 1 existing monitors ----------\r\n"
              L"  1. Local Port\r\n"
              L"  ---------------------------------------\r\n"
              L"  OK :)\r\n");
}

TEST_F(PrintersTest, WithNoMonitorsAtAllTheLogSaysSo) {
    AddMonitor();
    ScopedOverride none(winspool.EnumMonitorsW,
                        [](LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD needed, LPDWORD count) -> BOOL {
                            *needed = 0;
                            *count = 0;
                            return TRUE;
                        });
    ScopedOverride refused(winspool.AddPrinterW, [](LPWSTR, DWORD, LPBYTE) -> HANDLE {
        SetLastError(ERROR_UNKNOWN_PORT);
        return nullptr;
    });
    AllocationCounter counter;
    SetLastError(kPoison);
    EXPECT_EQ(AddProductPrinter(run, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PORT));
    EXPECT_EQ(LogOf(run),
              L">AddPrinter(*)\r\n"
              L"  Let's check our port monitors\r\n"
              L"  1. EnumMonitors returns true\r\n"
              L"  No Zantorelle port monitor was found.\r\n"
              L"  BTW, there is no port monitors on this system.\r\n"
              L"  Error(15): Can`t add printer '*' - (Unknown port.)\r\n");
    EXPECT_EQ(run.errorCount, 1);
    EXPECT_EQ(run.logDepth, 0);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

struct AddSpy {
    static inline std::wstring name, port, driver, processor, comment, datatype;
    static inline bool nullComment;
    static inline bool anyOtherField;
};

HANDLE WINAPI RecordAdd(LPWSTR server, DWORD level, LPBYTE data) {
    const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(data);
    AddSpy::name = Text(info->pPrinterName);
    AddSpy::port = Text(info->pPortName);
    AddSpy::driver = Text(info->pDriverName);
    AddSpy::processor = Text(info->pPrintProcessor);
    AddSpy::nullComment = info->pComment == nullptr;
    AddSpy::comment = Text(info->pComment);
    AddSpy::anyOtherField = server || level != 2 || info->pServerName || info->pShareName ||
                            info->pLocation || info->pDevMode || info->pSepFile ||
                            info->pParameters || info->pSecurityDescriptor || info->Attributes ||
                            info->Priority || info->DefaultPriority || info->StartTime ||
                            info->UntilTime;
    SetLastError(ERROR_PRINTER_ALREADY_EXISTS);
    return nullptr;
}

TEST_F(PrintersTest, TheNewPrinterRecordHasAnEmptyCommentAndNothingElse) {
    AddMonitor();
    ScopedOverride spy(winspool.AddPrinterW, &RecordAdd);
    EXPECT_EQ(AddProductPrinter(run, kOffice), nullptr);
    EXPECT_EQ(AddSpy::name, kOffice);
    EXPECT_EQ(AddSpy::port, L"Zantorelle:");
    EXPECT_EQ(AddSpy::driver, L"Zantorelle printer");
    EXPECT_EQ(AddSpy::processor, L"WinPrint");
    EXPECT_FALSE(AddSpy::nullComment);
    EXPECT_EQ(AddSpy::comment, L"");
    EXPECT_FALSE(AddSpy::anyOtherField);
    EXPECT_EQ(LogOf(run),
              L">AddPrinter(Zrl Office)\r\n"
              L"  Let's check our port monitors\r\n"
              L"  Port monitor is found\r\n"
              L"  Error(15): Can`t add printer 'Zrl Office' - (Printer already exists.)\r\n");
}

// ---- RemoveProductPrinters ------------------------------------------------------

TEST_F(PrintersTest, WithoutProductPrintersOnlyTheHeaderIsLogged) {
    AddPrinter(kPlain, kOtherDriver, "plain");
    AddPrinter(kOffice, L"ZANTORELLE PRINTER", "abc");
    MarkDefaultPrinter(run);
    ASSERT_GE(IndexInRun(kOffice), 0);
    run.logDepth = 2;
    RemoveProductPrinters(run);
    EXPECT_EQ(LogOf(run), L"    >DeleteAllPrinters\r\n");
    EXPECT_EQ(run.logDepth, 2);
    EXPECT_EQ(run.savedPrinters, nullptr);
    EXPECT_TRUE(scratch.PrinterExists(kPlain));
    EXPECT_TRUE(scratch.PrinterExists(kOffice));
}

TEST_F(PrintersTest, ProductPrintersAreDeletedInEnumerationOrderAndSavedInReverse) {
    AddPrinter(kPrinterA, kDriverName, "a-key");
    AddPrinter(kPlain, kOtherDriver, "plain");
    AddPrinter(kPrinterB, kDriverName, "b-key");
    MarkDefaultPrinter(run);
    int a = IndexInRun(kPrinterA);
    int b = IndexInRun(kPrinterB);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    const wchar_t* first = a < b ? kPrinterA : kPrinterB;
    const wchar_t* second = a < b ? kPrinterB : kPrinterA;

    RemoveProductPrinters(run);
    EXPECT_EQ(LogOf(run), std::wstring(L">DeleteAllPrinters\r\n") + L"  >DeletePrinter(" + first +
                              L")\r\n    OK\r\n" + L"  >DeletePrinter(" + second +
                              L")\r\n    OK\r\n");
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(run.logDepth, 0);
    EXPECT_FALSE(scratch.PrinterExists(kPrinterA));
    EXPECT_FALSE(scratch.PrinterExists(kPrinterB));
    EXPECT_TRUE(scratch.PrinterExists(kPlain));

    ASSERT_NE(run.savedPrinters, nullptr);
    ASSERT_NE(run.savedPrinters->next, nullptr);
    EXPECT_EQ(run.savedPrinters->next->next, nullptr);
    EXPECT_EQ(run.savedPrinters->printerEntry, &run.printers[a < b ? b : a]);
    EXPECT_EQ(run.savedPrinters->next->printerEntry, &run.printers[a < b ? a : b]);
    EXPECT_EQ(SavedSubKeys(), (a < b ? std::vector<std::string>{"b-key", "a-key"}
                                     : std::vector<std::string>{"a-key", "b-key"}));
}

struct OpenSpy {
    static inline decltype(winspool.OpenPrinterW) real;
    static inline decltype(winspool.ClosePrinter) realClose;
    static inline DWORD deleteAccess;
    static inline int opened;
    static inline int closed;
};

BOOL WINAPI RefuseOpenForDelete(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) {
    if (defaults) {
        OpenSpy::deleteAccess = defaults->DesiredAccess;
        *printer = nullptr;
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return OpenSpy::real(name, printer, defaults);
}

TEST_F(PrintersTest, APrinterThatDoesNotOpenForDeletionIsErrorSixteenAndKeepsItsRecord) {
    AddPrinter(kOffice, kDriverName, "abc");
    MarkDefaultPrinter(run);
    OpenSpy::real = winspool.OpenPrinterW;
    OpenSpy::deleteAccess = 0;
    ScopedOverride refused(winspool.OpenPrinterW, &RefuseOpenForDelete);
    SetLastError(kPoison);
    RemoveProductPrinters(run);
    EXPECT_EQ(LogOf(run),
              L">DeleteAllPrinters\r\n"
              L"  >DeletePrinter(Zrl Office)\r\n"
              L"    Error(16): Can`t open printer 'Zrl Office' - (Access denied.)\r\n");
    EXPECT_EQ(OpenSpy::deleteAccess, static_cast<DWORD>(0x00010004));
    EXPECT_EQ(run.errorCount, 1);
    EXPECT_EQ(run.logDepth, 0);
    EXPECT_TRUE(scratch.PrinterExists(kOffice));
    EXPECT_EQ(SavedSubKeys(), std::vector<std::string>{"abc"});

    // Wine would take a second printer of the same name: only the attempt is watched.
    FreeCountedString(run.logText);
    static std::wstring added;
    added.clear();
    ScopedOverride watched(winspool.AddPrinterW, [](LPWSTR, DWORD, LPBYTE data) -> HANDLE {
        added += reinterpret_cast<PRINTER_INFO_2W*>(data)->pPrinterName + std::wstring(L";");
        SetLastError(ERROR_PRINTER_ALREADY_EXISTS);
        return nullptr;
    });
    RestorePrinters(run);
    EXPECT_EQ(added, L"Zrl Office;Zantorelle;");
    EXPECT_EQ(run.errorCount, 3);
}

TEST_F(PrintersTest, APrinterWithoutANameIsShownAsAStar) {
    ScopedOverride refused(winspool.OpenPrinterW,
                           [](LPWSTR, LPHANDLE, LPPRINTER_DEFAULTSW) -> BOOL {
                               SetLastError(ERROR_INVALID_PRINTER_NAME);
                               return FALSE;
                           });
    run.logDepth = 1;
    RemovePrinter(run, nullptr);
    EXPECT_EQ(LogOf(run),
              L"  >DeletePrinter(*)\r\n"
              L"    Error(16): Can`t open printer '*' - (Invalid printer name.)\r\n");
    EXPECT_EQ(run.logDepth, 1);
}

BOOL WINAPI CountOpen(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) {
    BOOL ok = OpenSpy::real(name, printer, defaults);
    OpenSpy::opened += ok ? 1 : 0;
    return ok;
}

BOOL WINAPI CountClose(HANDLE printer) {
    ++OpenSpy::closed;
    return OpenSpy::realClose(printer);
}

TEST_F(PrintersTest, APrinterThatWillNotDeleteIsErrorSeventeenAndTheNextIsStillDeleted) {
    AddPrinter(kPrinterA, kDriverName, "a-key");
    AddPrinter(kPrinterB, kDriverName, "b-key");
    MarkDefaultPrinter(run);
    int a = IndexInRun(kPrinterA);
    int b = IndexInRun(kPrinterB);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    const wchar_t* first = a < b ? kPrinterA : kPrinterB;
    const wchar_t* second = a < b ? kPrinterB : kPrinterA;

    static decltype(winspool.DeletePrinter) realDelete;
    static int deletes;
    realDelete = winspool.DeletePrinter;
    deletes = 0;
    OpenSpy::real = winspool.OpenPrinterW;
    OpenSpy::realClose = winspool.ClosePrinter;
    OpenSpy::opened = 0;
    OpenSpy::closed = 0;
    ScopedOverride opens(winspool.OpenPrinterW, &CountOpen);
    ScopedOverride closes(winspool.ClosePrinter, &CountClose);
    ScopedOverride firstRefused(winspool.DeletePrinter, [](HANDLE printer) -> BOOL {
        if (++deletes == 1) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        return realDelete(printer);
    });
    SetLastError(kPoison);
    RemoveProductPrinters(run);
    EXPECT_EQ(LogOf(run), std::wstring(L">DeleteAllPrinters\r\n") + L"  >DeletePrinter(" + first +
                              L")\r\n    Error(17): Can`t delete printer '" + first +
                              L"' - (Access denied.)\r\n" + L"  >DeletePrinter(" + second +
                              L")\r\n    OK\r\n");
    EXPECT_EQ(run.errorCount, 1);
    EXPECT_EQ(run.logDepth, 0);
    EXPECT_EQ(deletes, 2);
    EXPECT_EQ(OpenSpy::opened, 4);  // each printer: once to read, once to delete
    EXPECT_EQ(OpenSpy::closed, OpenSpy::opened);
    EXPECT_TRUE(scratch.PrinterExists(first));
    EXPECT_FALSE(scratch.PrinterExists(second));
    EXPECT_EQ(SavedSubKeys().size(), 2u);
}

TEST_F(PrintersTest, APrinterWithoutSubKeyIsDeletedAndNotSaved) {
    AddPrinter(kOffice, kDriverName);
    MarkDefaultPrinter(run);
    RemoveProductPrinters(run);
    EXPECT_EQ(LogOf(run),
              L">DeleteAllPrinters\r\n"
              L"  >DeletePrinter(Zrl Office)\r\n"
              L"    OK\r\n");
    EXPECT_FALSE(scratch.PrinterExists(kOffice));
    EXPECT_EQ(run.savedPrinters, nullptr);
}

TEST_F(PrintersTest, APrinterThatDoesNotOpenForReadingIsStillDeletedButNotSaved) {
    AddPrinter(kOffice, kDriverName, "abc");
    MarkDefaultPrinter(run);
    OpenSpy::real = winspool.OpenPrinterW;
    ScopedOverride unreadable(winspool.OpenPrinterW,
                              [](LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) {
                                  if (!defaults) {
                                      SetLastError(ERROR_ACCESS_DENIED);
                                      return FALSE;
                                  }
                                  return OpenSpy::real(name, printer, defaults);
                              });
    RemoveProductPrinters(run);
    EXPECT_EQ(LogOf(run),
              L">DeleteAllPrinters\r\n"
              L"  >DeletePrinter(Zrl Office)\r\n"
              L"    OK\r\n");
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_FALSE(scratch.PrinterExists(kOffice));
    EXPECT_EQ(run.savedPrinters, nullptr);
}

// A reinstall that deleted a printer whose settings it cannot remember would lose it.
TEST_F(PrintersTest, WithoutMemoryForTheRecordThePrinterIsKeptAndReported) {
    AddPrinter(kOffice, kDriverName, "abc");
    MarkDefaultPrinter(run);
    run.checkMonitorVersion = 1;
    AllocationCounter counter;
    ScopedOverride noMemory(kernel.GlobalAlloc, &NoGlobalMemory);
    RemoveProductPrinters(run);
    EXPECT_EQ(LogOf(run),
              L">DeleteAllPrinters\r\n"
              L"  >DeletePrinter(Zrl Office)\r\n"
              L"    Error(17): Can`t delete printer 'Zrl Office'" +
                  ErrorTail(ERROR_NOT_ENOUGH_MEMORY) + L"\r\n");
    EXPECT_EQ(run.errorCount, 1);
    EXPECT_TRUE(scratch.PrinterExists(kOffice));
    EXPECT_EQ(run.savedPrinters, nullptr);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(PrintersTest, WithoutMemoryForTheTextTheRecordIsGivenBackAndThePrinterKept) {
    AddPrinter(kOffice, kDriverName, "abc");
    MarkDefaultPrinter(run);
    run.checkMonitorVersion = 1;
    static decltype(kernel.GlobalAlloc) realAlloc;
    static int allocations;
    AllocationCounter counter;
    realAlloc = kernel.GlobalAlloc;
    allocations = 0;
    ScopedOverride secondFails(kernel.GlobalAlloc, [](UINT flags, SIZE_T bytes) -> HGLOBAL {
        if (++allocations == 2) {
            return NoGlobalMemory(flags, bytes);
        }
        return realAlloc(flags, bytes);
    });
    RemoveProductPrinters(run);
    EXPECT_GE(allocations, 2);
    EXPECT_EQ(run.savedPrinters, nullptr);
    EXPECT_EQ(run.errorCount, 1);
    EXPECT_TRUE(scratch.PrinterExists(kOffice));
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

// ---- RestorePrinters --------------------------------------------------------------

TEST_F(PrintersTest, AReinstallBringsBackTheDefaultPrinterWithItsSettings) {
    AddMonitor();
    ASSERT_TRUE(settings.AddKey(L"abc"));
    AddPrinter(kPlain, kOtherDriver);
    AddPrinter(kOffice, kDriverName, "abc");
    SetCommentAndLocation(kOffice, L"Second floor printer", L"Room 204");
    ASSERT_TRUE(real.SetDefaultPrinterW(kOffice));
    MarkDefaultPrinter(run);

    AllocationCounter counter;
    RemoveProductPrinters(run);
    EXPECT_FALSE(scratch.PrinterExists(kOffice));
    EXPECT_NE(scratch.DefaultPrinter(), kOffice);
    EXPECT_EQ(counter.GlobalBlocks(), 2);  // the record and its text
    RestorePrinters(run);

    EXPECT_EQ(LogOf(run), std::wstring(L">DeleteAllPrinters\r\n"
                                       L"  >DeletePrinter(Zrl Office)\r\n"
                                       L"    OK\r\n") +
                              AddedWithMonitor(kOffice));
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(run.logDepth, 0);
    PrinterState state = StateOf(kOffice);
    EXPECT_EQ(state.port, L"Zantorelle:");
    EXPECT_EQ(state.driver, L"Zantorelle printer");
    EXPECT_EQ(state.processor, L"WinPrint");
    EXPECT_EQ(state.comment, L"Second floor printer");
    EXPECT_EQ(state.location, L"Room 204");
    EXPECT_EQ(StoredSubKey(kOffice, nullptr), "abc");
    EXPECT_EQ(StoredSubKey(kOffice, "DsUser"), "abc");
    EXPECT_FALSE(SettingsScratch::HasValue(L"abc", L"deleted"));
    EXPECT_TRUE(SettingsScratch::HasValue(L"abc", L"pages"));
    EXPECT_EQ(scratch.DefaultPrinter(), kOffice);
    EXPECT_FALSE(scratch.PrinterExists(kFallbackPrinterName));

    FreeSavedPrinters(run.savedPrinters);
    EXPECT_EQ(run.savedPrinters, nullptr);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
    FreeCountedString(run.logText);
    EXPECT_EQ(counter.HeapBlocks(), 0);
}

TEST_F(PrintersTest, TwoPrintersAreDeletedInOrderAndReCreatedInReverse) {
    AddMonitor();
    AddPrinter(kPrinterA, kDriverName, "a-key");
    AddPrinter(kPrinterB, kDriverName, nullptr, "b-key");  // only under "DsUser"
    MarkDefaultPrinter(run);
    int a = IndexInRun(kPrinterA);
    int b = IndexInRun(kPrinterB);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_LT(a, b) << "Wine lists printers by name";

    RemoveProductPrinters(run);
    RestorePrinters(run);
    EXPECT_EQ(LogOf(run), std::wstring(L">DeleteAllPrinters\r\n"
                                       L"  >DeletePrinter(Zrl Printer A)\r\n"
                                       L"    OK\r\n"
                                       L"  >DeletePrinter(Zrl Printer B)\r\n"
                                       L"    OK\r\n") +
                              AddedWithMonitor(kPrinterB) + AddedWithMonitor(kPrinterA));
    EXPECT_EQ(StoredSubKey(kPrinterA, nullptr), "a-key");
    EXPECT_EQ(StoredSubKey(kPrinterA, "DsUser"), "a-key");
    EXPECT_EQ(StoredSubKey(kPrinterB, nullptr), "b-key");
    EXPECT_EQ(StoredSubKey(kPrinterB, "DsUser"), "b-key");
    EXPECT_EQ(StateOf(kPrinterB).port, L"Zantorelle:");
    EXPECT_EQ(scratch.DefaultPrinter(), L"");
    EXPECT_FALSE(scratch.PrinterExists(kFallbackPrinterName));
}

TEST_F(PrintersTest, APrinterWithoutSubKeyIsNotReCreatedAndTheFallbackIsAdded) {
    AddMonitor();
    AddPrinter(kOffice, kDriverName);
    ASSERT_TRUE(real.SetDefaultPrinterW(kOffice));
    MarkDefaultPrinter(run);
    scratch.ExpectPrinter(kFallbackPrinterName);
    RemoveProductPrinters(run);
    RestorePrinters(run);
    EXPECT_EQ(LogOf(run), std::wstring(L">DeleteAllPrinters\r\n"
                                       L"  >DeletePrinter(Zrl Office)\r\n"
                                       L"    OK\r\n") +
                              AddedWithMonitor(L"Zantorelle"));
    EXPECT_FALSE(scratch.PrinterExists(kOffice));
    EXPECT_EQ(StateOf(kFallbackPrinterName).port, L"Zantorelle:");
    EXPECT_EQ(StoredSubKey(kFallbackPrinterName, nullptr), "(none)");
    EXPECT_EQ(scratch.DefaultPrinter(), L"");
}

TEST_F(PrintersTest, WithNothingSavedTheFallbackIsAdded) {
    AddMonitor();
    scratch.ExpectPrinter(kFallbackPrinterName);
    RestorePrinters(run);
    EXPECT_EQ(LogOf(run), AddedWithMonitor(L"Zantorelle"));
    EXPECT_TRUE(scratch.PrinterExists(kFallbackPrinterName));
}

// Entries of the run's enumeration made by hand: the default mark and the
// driver name decide, whatever the spooler said.
class DefaultMarkTest : public PrintersTest {
protected:
    void Restore(const wchar_t* driver, DWORD attributes) {
        AddMonitor();
        AddPrinter(kOffice, kDriverName, "abc");
        entry.pPrinterName = const_cast<LPWSTR>(kOffice);
        entry.pDriverName = const_cast<LPWSTR>(driver);
        entry.Attributes = attributes;
        SavePrinterSubKey(run, entry);
        ASSERT_EQ(SavedSubKeys(), std::vector<std::string>{"abc"});
        RemovePrinter(run, kOffice);
        ASSERT_FALSE(scratch.PrinterExists(kOffice));
        RestorePrinters(run);
        ASSERT_TRUE(scratch.PrinterExists(kOffice));
    }
    PRINTER_INFO_2W entry = {};
};

TEST_F(DefaultMarkTest, AMarkedProductPrinterBecomesTheDefaultAgain) {
    static std::wstring defaultName;
    static decltype(winspool.SetDefaultPrinterW) realSet;
    realSet = winspool.SetDefaultPrinterW;
    defaultName = L"(not set)";
    ScopedOverride spy(winspool.SetDefaultPrinterW, [](LPCWSTR name) {
        defaultName = name;
        return realSet(name);
    });
    Restore(kDriverName, PRINTER_ATTRIBUTE_DEFAULT);
    EXPECT_EQ(defaultName, kOffice);
    EXPECT_EQ(scratch.DefaultPrinter(), kOffice);
}

TEST_F(DefaultMarkTest, AMarkedPrinterOfADriverDifferingInCaseIsNotMadeTheDefault) {
    Restore(L"ZANTORELLE PRINTER", PRINTER_ATTRIBUTE_DEFAULT);
    EXPECT_EQ(scratch.DefaultPrinter(), L"");
}

TEST_F(DefaultMarkTest, AnUnmarkedProductPrinterIsNotMadeTheDefault) {
    Restore(kDriverName, PRINTER_ATTRIBUTE_LOCAL);
    EXPECT_EQ(scratch.DefaultPrinter(), L"");
}

TEST_F(PrintersTest, WhenEveryAddFailsTheFallbackIsStillTried) {
    AddMonitor();
    AddPrinter(kPrinterA, kDriverName, "a-key");
    AddPrinter(kPrinterB, kDriverName, "b-key");
    MarkDefaultPrinter(run);
    ASSERT_LT(IndexInRun(kPrinterA), IndexInRun(kPrinterB));
    RemoveProductPrinters(run);
    FreeCountedString(run.logText);

    static int adds;
    adds = 0;
    AllocationCounter counter;
    ScopedOverride refused(winspool.AddPrinterW, [](LPWSTR, DWORD, LPBYTE) -> HANDLE {
        ++adds;
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return nullptr;
    });
    SetLastError(kPoison);
    RestorePrinters(run);
    const std::wstring failed =
        L"  Let's check our port monitors\r\n"
        L"  Port monitor is found\r\n"
        L"  Error(15): Can`t add printer '";
    EXPECT_EQ(LogOf(run), L">AddPrinter(Zrl Printer B)\r\n" + failed +
                              L"Zrl Printer B' - (Invalid printer name.)\r\n"
                              L">AddPrinter(Zrl Printer A)\r\n" +
                              failed +
                              L"Zrl Printer A' - (Invalid printer name.)\r\n"
                              L">AddPrinter(Zantorelle)\r\n" +
                              failed + L"Zantorelle' - (Invalid printer name.)\r\n");
    EXPECT_EQ(adds, 3);
    EXPECT_EQ(run.errorCount, 3);
    EXPECT_EQ(run.logDepth, 0);
    EXPECT_EQ(SavedSubKeys().size(), 2u);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
    FreeCountedString(run.logText);
    EXPECT_EQ(counter.HeapBlocks(), 0);
}

// The printer is back without its tie to the settings: the run says so.
TEST_F(PrintersTest, AFailedDsUserWriteLeavesTheSettingsKeyButRestoresTheRest) {
    AddMonitor();
    ASSERT_TRUE(settings.AddKey(L"abc"));
    AddPrinter(kOffice, kDriverName, "abc");
    SetCommentAndLocation(kOffice, L"Reception", L"Hall");
    ASSERT_TRUE(real.SetDefaultPrinterW(kOffice));
    MarkDefaultPrinter(run);
    RemoveProductPrinters(run);
    ScopedOverride refused(
        winspool.SetPrinterDataExA,
        [](HANDLE, LPCSTR, LPCSTR, DWORD, LPBYTE, DWORD) -> DWORD { return ERROR_ACCESS_DENIED; });
    RestorePrinters(run);
    EXPECT_EQ(run.errorCount, 1);
    EXPECT_THAT(LogOf(run), testing::EndsWith(L"OK :)\r\nError(19): Can`t restore printer 'Zrl "
                                              L"Office' completely" +
                                              ErrorTail(ERROR_ACCESS_DENIED) + L"\r\n"));
    EXPECT_EQ(StoredSubKey(kOffice, nullptr), "abc");
    EXPECT_EQ(StoredSubKey(kOffice, "DsUser"), "(none)");
    EXPECT_TRUE(SettingsScratch::HasValue(L"abc", L"deleted"));
    PrinterState state = StateOf(kOffice);
    EXPECT_EQ(state.comment, L"Reception");
    EXPECT_EQ(state.location, L"Hall");
    EXPECT_EQ(scratch.DefaultPrinter(), kOffice);
}

// What ties the new printer to a settings key is the SubKey it reports.
TEST_F(PrintersTest, TheSettingsKeyClearedIsTheOneTheNewPrinterReports) {
    AddMonitor();
    ASSERT_TRUE(settings.AddKey(L"abc"));
    ASSERT_TRUE(settings.AddKey(L"xyz"));
    AddPrinter(kOffice, kDriverName, "abc");
    MarkDefaultPrinter(run);
    RemoveProductPrinters(run);
    ScopedOverride reported(
        winspool.GetPrinterDataA,
        [](HANDLE, LPSTR, LPDWORD type, LPBYTE data, DWORD size, LPDWORD needed) -> DWORD {
            *type = REG_SZ;
            *needed = 4;
            lstrcpynA(reinterpret_cast<char*>(data), "xyz", static_cast<int>(size));
            return ERROR_SUCCESS;
        });
    RestorePrinters(run);
    EXPECT_TRUE(SettingsScratch::HasValue(L"abc", L"deleted"));
    EXPECT_FALSE(SettingsScratch::HasValue(L"xyz", L"deleted"));
}

TEST_F(PrintersTest, AnEmptyReadBackLeavesTheSettingsKeyAlone) {
    AddMonitor();
    ASSERT_TRUE(settings.AddKey(L"abc"));
    AddPrinter(kOffice, kDriverName, "abc");
    MarkDefaultPrinter(run);
    RemoveProductPrinters(run);
    // Accepted but not stored: the new printer has no SubKey to report.
    ScopedOverride plainLost(winspool.SetPrinterDataA,
                             [](HANDLE, LPSTR, DWORD, LPBYTE, DWORD) -> DWORD { return 0; });
    ScopedOverride dsUserLost(
        winspool.SetPrinterDataExA,
        [](HANDLE, LPCSTR, LPCSTR, DWORD, LPBYTE, DWORD) -> DWORD { return ERROR_SUCCESS; });
    RestorePrinters(run);
    EXPECT_TRUE(scratch.PrinterExists(kOffice));
    EXPECT_TRUE(SettingsScratch::HasValue(L"abc", L"deleted"));
}

TEST_F(PrintersTest, AnUnreadableNewPrinterCountsAsReCreatedWithoutItsDetailsAndIsReported) {
    AddMonitor();
    AddPrinter(kOffice, kDriverName, "abc");
    SetCommentAndLocation(kOffice, L"Reception", L"Hall");
    ASSERT_TRUE(real.SetDefaultPrinterW(kOffice));
    MarkDefaultPrinter(run);
    RemoveProductPrinters(run);
    FreeCountedString(run.logText);
    AllocationCounter counter;
    {
        ScopedOverride unreadable(winspool.GetPrinterW,
                                  [](HANDLE, DWORD, LPBYTE, DWORD, LPDWORD) -> BOOL {
                                      SetLastError(ERROR_ACCESS_DENIED);
                                      return FALSE;
                                  });
        RestorePrinters(run);
    }
    EXPECT_EQ(LogOf(run), AddedWithMonitor(kOffice) +
                              L"Error(19): Can`t restore printer 'Zrl Office' completely" +
                              ErrorTail(ERROR_ACCESS_DENIED) + L"\r\n");
    EXPECT_EQ(StoredSubKey(kOffice, "DsUser"), "abc");
    PrinterState state = StateOf(kOffice);
    EXPECT_NE(state.comment, L"Reception");
    EXPECT_NE(state.location, L"Hall");
    EXPECT_EQ(scratch.DefaultPrinter(), L"");
    EXPECT_FALSE(scratch.PrinterExists(kFallbackPrinterName));
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

// ---- the journal of printers in transit -------------------------------------------

// The entry's SubKey, comment, location and default mark as an earlier
// build wrote them, joined by '|', or "(none)" without a readable entry.
std::wstring JournalValue(const wchar_t* name) {
    JournalEntry entry;
    if (ReadJournalEntry(name, entry) != JournalRead::Entry) {
        return L"(none)";
    }
    const CarriedProperties& saved = entry.properties;
    std::wstring text =
        L"SubKey=" + std::wstring(saved.subKey, saved.subKey + strlen(saved.subKey));
    text += saved.comment ? L"|Comment=" + std::wstring(saved.comment) : L"";
    text += saved.location ? L"|Location=" + std::wstring(saved.location) : L"";
    return text + (Holds(saved, RecordField::Default) ? L"|Default=1" : L"");
}

// An entry as an earlier build wrote it: strings ending with an empty one.
void JournalEarlierEntry(const wchar_t* name, const std::wstring& joined) {
    std::wstring strings = joined + L'\0';
    std::replace(strings.begin(), strings.end(), L'|', L'\0');
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kJournalKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(strings.c_str()),
                   static_cast<DWORD>((strings.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

DWORD RegularGetPrinterDataA(HANDLE printer, LPSTR name, LPDWORD type, LPBYTE data, DWORD size,
                             LPDWORD needed) {
    return winspool_detail::exports.GetPrinterDataA(printer, name, type, data, size, needed);
}

class JournalTest : public PrintersTest {
protected:
    void TearDown() override {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kJournalKey);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSetAsideKey);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kOwedKey);
        PrintersTest::TearDown();
    }
};

// A reinstall cut off after it deleted the printers: the next one finds them
// in the journal and brings them back as they were, default mark included.
TEST_F(JournalTest, PrintersOutOfTheSpoolerComeBackFromTheJournalAfterACutOff) {
    AddMonitor();
    ASSERT_TRUE(settings.AddKey(L"abc"));
    AddPrinter(kOffice, kDriverName, "abc");
    SetCommentAndLocation(kOffice, L"Reception", L"Hall");
    AddPrinter(kPrinterA, kOtherDriver, "a1");
    ASSERT_TRUE(real.SetDefaultPrinterW(kOffice));
    MarkDefaultPrinter(run);
    run.checkMonitorVersion = 1;
    RemoveProductPrinters(run);
    EXPECT_FALSE(scratch.PrinterExists(kOffice));
    EXPECT_EQ(JournalValue(kOffice), L"SubKey=abc|Comment=Reception|Location=Hall|Default=1");
    EXPECT_EQ(JournalValue(kPrinterA), L"(none)");  // not the product's

    // The run is gone with everything it held; only the journal is left.
    FreeSavedPrinters(run.savedPrinters);
    InstallRun next = EmptyRun();
    next.checkMonitorVersion = 1;
    RestorePrinters(next);
    EXPECT_EQ(
        LogOf(next),
        L"Printer 'Zrl Office' was left out by an earlier run: restoring it from the journal\r\n" +
            AddedWithMonitor(kOffice));
    EXPECT_EQ(next.errorCount, 0);
    EXPECT_EQ(StoredSubKey(kOffice, "DsUser"), "abc");
    EXPECT_FALSE(SettingsScratch::HasValue(L"abc", L"deleted"));
    EXPECT_EQ(StateOf(kOffice).comment, L"Reception");
    EXPECT_EQ(StateOf(kOffice).location, L"Hall");
    EXPECT_EQ(scratch.DefaultPrinter(), kOffice);
    EXPECT_FALSE(scratch.PrinterExists(kFallbackPrinterName));
    HKEY left = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kJournalKey, 0, KEY_READ, &left), ERROR_SUCCESS);
    FreeCountedString(next.logText);

    // A printer that is there again is never made twice from a stale entry,
    // and an earlier build's entry of a printer that is not there brings it back.
    next = EmptyRun();
    next.checkMonitorVersion = 1;
    JournalEarlierEntry(kOffice, L"SubKey=abc");
    JournalEarlierEntry(kPrinterB, L"SubKey=b2|Location=Attic|Default=1");
    scratch.ExpectPrinter(kPrinterB);
    RestorePrinters(next);
    EXPECT_EQ(LogOf(next),
              L"Printer 'Zrl Printer B' was left out by an earlier run: restoring it "
              L"from the journal\r\n" +
                  AddedWithMonitor(kPrinterB));
    EXPECT_EQ(JournalValue(kOffice), L"SubKey=abc");
    EXPECT_EQ(JournalValue(kPrinterB), L"(none)");
    EXPECT_EQ(StoredSubKey(kPrinterB, "DsUser"), "b2");
    EXPECT_EQ(StateOf(kPrinterB).location, L"Attic");
    EXPECT_EQ(scratch.DefaultPrinter(), kPrinterB);
    FreeCountedString(next.logText);
}

// What a reinstall could not bring back as it was stays where it is, and the
// run says why: a printer it cannot journal, one whose SubKey does not read,
// and every one while the default printer is unknown.
TEST_F(JournalTest, APrinterThatCouldNotComeBackAsItWasStaysAndTheRunSaysWhy) {
    AddMonitor();
    AddPrinter(kOffice, kDriverName, "abc");
    AddPrinter(kPrinterA, kDriverName, "a1");
    MarkDefaultPrinter(run);
    run.checkMonitorVersion = 1;
    {
        ScopedOverride flush(advapi.RegFlushKey, [](HKEY key) -> LSTATUS {
            static int calls = 0;
            return ++calls == 1 ? ERROR_WRITE_FAULT : RegFlushKey(key);
        });
        ScopedOverride unreadable(winspool.GetPrinterDataA,
                                  [](HANDLE printer, LPSTR name, LPDWORD type, LPBYTE data,
                                     DWORD size, LPDWORD needed) -> DWORD {
                                      static int calls = 0;
                                      return ++calls == 2
                                                 ? ERROR_ACCESS_DENIED
                                                 : RegularGetPrinterDataA(printer, name, type, data,
                                                                          size, needed);
                                  });
        RemoveProductPrinters(run);
    }
    std::wstring a = std::wstring(kPrinterA);
    std::wstring office = std::wstring(kOffice);
    std::wstring first = IndexInRun(kOffice) < IndexInRun(kPrinterA) ? office : a;
    std::wstring second = first == office ? a : office;
    // Every printer is journaled before the one flush: the SubKey that does
    // not read is found first.
    EXPECT_EQ(LogOf(run), L">DeleteAllPrinters\r\n  >DeletePrinter(" + second +
                              L")\r\n    Error(17): Can`t delete printer '" + second + L"'" +
                              ErrorTail(ERROR_ACCESS_DENIED) + L"\r\n  >DeletePrinter(" + first +
                              L")\r\n    Error(18): Can`t journal printer '" + first + L"'" +
                              ErrorTail(ERROR_WRITE_FAULT) + L"\r\n");
    EXPECT_TRUE(scratch.PrinterExists(kOffice));
    EXPECT_TRUE(scratch.PrinterExists(kPrinterA));
    EXPECT_EQ(run.savedPrinters, nullptr);
    EXPECT_EQ(JournalValue(first.c_str()), L"(none)");

    FreeCountedString(run.logText);
    run.defaultPrinterError = RPC_S_SERVER_UNAVAILABLE;
    RemoveProductPrinters(run);
    EXPECT_EQ(run.errorCount, 4);
    EXPECT_THAT(LogOf(run),
                testing::EndsWith(L")\r\n    Error(17): Can`t delete printer '" + second + L"'" +
                                  ErrorTail(RPC_S_SERVER_UNAVAILABLE) + L"\r\n"));
    EXPECT_TRUE(scratch.PrinterExists(kOffice));
    EXPECT_TRUE(scratch.PrinterExists(kPrinterA));
}

// Shares the printer under `share`, as an administrator would.
void Share(const WinspoolApi& real, HANDLE printer, const wchar_t* share) {
    std::vector<BYTE> block(8192);
    DWORD needed = 0;
    ASSERT_TRUE(real.GetPrinterW(printer, 2, block.data(), 8192, &needed));
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(block.data());
    info->pShareName = const_cast<LPWSTR>(share);
    info->Attributes |= PRINTER_ATTRIBUTE_SHARED;
    ASSERT_TRUE(real.SetPrinterW(printer, 2, block.data(), 0));
}

std::wstring ShareOf(const WinspoolApi& real, HANDLE printer) {
    std::vector<BYTE> block(8192);
    DWORD needed = 0;
    real.GetPrinterW(printer, 2, block.data(), 8192, &needed);
    const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(block.data());
    return info->Attributes & PRINTER_ATTRIBUTE_SHARED ? Text(info->pShareName) : L"(not shared)";
}

// The Server service not started yet (a deployment at boot) refuses sharing.
BOOL WINAPI NoServerService(HANDLE printer, DWORD level, LPBYTE info, DWORD command) {
    if (level == 2 &&
        (reinterpret_cast<PRINTER_INFO_2W*>(info)->Attributes & PRINTER_ATTRIBUTE_SHARED)) {
        SetLastError(NERR_ServerNotStarted);
        return FALSE;
    }
    return winspool_detail::exports.SetPrinterW(printer, level, info, command);
}

// What printers owe cannot be read.
LSTATUS WINAPI NoOwedKey(HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) {
    return std::wstring(path) == kOwedKey ? ERROR_ACCESS_DENIED
                                          : RegOpenKeyExW(root, path, options, access, key);
}

// A property that does not take for a reason that passes is owed: the run
// that finished lets go of the journal entry, and a later install gives it
// to the printer, without undoing what someone changed in between.
TEST_F(JournalTest, APropertyThatDidNotTakeIsOwedAndGivenLaterUnlessChangedSince) {
    AddMonitor();
    AddPrinter(kOffice, kDriverName, "abc");
    Share(real, UniquePrinter(scratch.OpenForDelete(kOffice)).Get(), L"office");
    auto reinstall = [&](bool serverStarted, bool owedUnreadable = false) {
        InstallRun next = EmptyRun();
        MarkDefaultPrinter(next);
        next.checkMonitorVersion = 1;
        ScopedOverride server(winspool.SetPrinterW,
                              serverStarted ? winspool.SetPrinterW : &NoServerService);
        ScopedOverride owedKey(advapi.RegOpenKeyExW,
                               owedUnreadable ? &NoOwedKey : advapi.RegOpenKeyExW);
        RemoveProductPrinters(next);
        RestorePrinters(next);
        std::wstring log = LogOf(next) + (next.errorCount ? L"(errors)" : L"");
        FreeSavedPrinters(next.savedPrinters);
        FreePrinterList(next.printers, next.printerCount);
        FreeCountedString(next.logText);
        return log;
    };
    auto shared = [&] {
        return ShareOf(real, UniquePrinter(scratch.OpenForDelete(kOffice)).Get());
    };
    JournalEntry owed;

    {
        // The SubKey does not take either: without it the printer would
        // be deleted for good by the next install.
        ScopedOverride plain(
            winspool.SetPrinterDataA,
            [](HANDLE, LPSTR, DWORD, LPBYTE, DWORD) -> DWORD { return ERROR_ACCESS_DENIED; });
        ScopedOverride dsUser(winspool.SetPrinterDataExA,
                              [](HANDLE, LPCSTR, LPCSTR, DWORD, LPBYTE, DWORD) -> DWORD {
                                  return ERROR_ACCESS_DENIED;
                              });
        EXPECT_THAT(reinstall(false),
                    testing::HasSubstr(L"Error(19): Can`t restore printer 'Zrl Office' completely" +
                                       ErrorTail(ERROR_ACCESS_DENIED)));
    }
    EXPECT_EQ(shared(), L"(not shared)");
    EXPECT_EQ(StoredSubKey(kOffice, "DsUser"), "(none)");
    EXPECT_EQ(JournalValue(kOffice), L"(none)");
    ASSERT_EQ(ReadOwedEntry(kOffice, owed), JournalRead::Entry);
    EXPECT_EQ(owed.properties.owed, FieldBit(RecordField::SubKey) |
                                        FieldBit(RecordField::ShareName) |
                                        FieldBit(RecordField::Attributes));
    SetCommentAndLocation(kOffice, L"Front desk", L"Hall");  // not owed: it stays
    // What it owes cannot be read: it stays in the spooler, still owing it
    // (its SubKey too, so it is not deleted as a printer without one).
    scratch.ExpectPrinter(kFallbackPrinterName);
    EXPECT_THAT(reinstall(true, true), testing::HasSubstr(L"Error(17): Can`t delete printer 'Zrl "
                                                          L"Office'" +
                                                          ErrorTail(ERROR_ACCESS_DENIED)));
    ASSERT_EQ(ReadOwedEntry(kOffice, owed), JournalRead::Entry);

    std::wstring log = reinstall(true);
    EXPECT_THAT(log, testing::Not(testing::HasSubstr(L"Error(")));
    EXPECT_THAT(log, testing::Not(testing::HasSubstr(L"was changed")));
    EXPECT_EQ(shared(), L"office");
    EXPECT_EQ(StoredSubKey(kOffice, "DsUser"), "abc");
    EXPECT_EQ(StateOf(kOffice).comment, L"Front desk");
    EXPECT_EQ(ReadOwedEntry(kOffice, owed), JournalRead::Gone);

    // Changed by hand after a run that owed the share: the hand wins.
    reinstall(false);
    EXPECT_THAT(reinstall(true, true), testing::HasSubstr(L"Error(18): Can`t journal printer 'Zrl "
                                                          L"Office'" +
                                                          ErrorTail(ERROR_ACCESS_DENIED)));
    {
        UniquePrinter printer(scratch.OpenForDelete(kOffice));
        std::vector<BYTE> block(8192);
        DWORD needed = 0;
        ASSERT_TRUE(real.GetPrinterW(printer.Get(), 2, block.data(), 8192, &needed));
        reinterpret_cast<PRINTER_INFO_2W*>(block.data())->Attributes |=
            PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS;
        ASSERT_TRUE(real.SetPrinterW(printer.Get(), 2, block.data(), 0));
    }
    EXPECT_THAT(reinstall(true),
                testing::HasSubstr(L"Printer 'Zrl Office' was changed since an earlier install "
                                   L"owed it its attributes: it keeps it as it is now\r\n"));
    UniquePrinter printer(scratch.OpenForDelete(kOffice));
    std::vector<BYTE> block(8192);
    DWORD needed = 0;
    ASSERT_TRUE(real.GetPrinterW(printer.Get(), 2, block.data(), 8192, &needed));
    EXPECT_EQ(reinterpret_cast<PRINTER_INFO_2W*>(block.data())->Attributes &
                  (PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS | PRINTER_ATTRIBUTE_SHARED),
              static_cast<DWORD>(PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS));
    EXPECT_EQ(ReadOwedEntry(kOffice, owed), JournalRead::Gone);
}

// When the default printer goes, the spooler gives the mark to a printer of
// its choosing. A run that could not give it back owes it, and the next
// install takes it back from that printer, unless someone chose another
// default printer in between.
TEST_F(JournalTest, AnOwedDefaultMarkComesBackUnlessAnotherDefaultWasChosenSince) {
    AddMonitor();
    AddPrinter(kPrinterA, kDriverName, "a");
    AddPrinter(kPrinterB, kDriverName, "b");
    AddPrinter(kOffice, kDriverName, "c");
    AddPrinter(kPlain, kOtherDriver);  // where the spooler moves the mark
    auto reinstall = [&](bool refused) {
        InstallRun next = EmptyRun();
        MarkDefaultPrinter(next);
        next.checkMonitorVersion = 1;
        ScopedOverride setDefault(winspool.SetDefaultPrinterW,
                                  refused ? +[](LPCWSTR) -> BOOL {
                                      SetLastError(ERROR_ACCESS_DENIED);
                                      return FALSE;
                                  }
                                          : winspool.SetDefaultPrinterW);
        RemoveProductPrinters(next);
        RestorePrinters(next);
        std::wstring log = LogOf(next);
        FreeSavedPrinters(next.savedPrinters);
        FreePrinterList(next.printers, next.printerCount);
        FreeCountedString(next.logText);
        return log;
    };
    auto defaultPrinter = [] {
        wchar_t name[256] = {};
        DWORD chars = 256;
        GetDefaultPrinterW(name, &chars);
        return std::wstring(name);
    };

    ASSERT_TRUE(SetDefaultPrinterW(kPrinterA));
    reinstall(true);
    ASSERT_EQ(defaultPrinter(), kPlain);
    EXPECT_THAT(reinstall(false), testing::HasSubstr(L"Printer 'Zrl Printer A' gets back the "
                                                     L"default mark an earlier install owed it"));
    EXPECT_EQ(defaultPrinter(), kPrinterA);

    reinstall(true);
    ASSERT_EQ(defaultPrinter(), kPlain);
    ASSERT_TRUE(SetDefaultPrinterW(kPrinterB));
    EXPECT_THAT(reinstall(false),
                testing::HasSubstr(L"Printer 'Zrl Printer A' was changed since an earlier install "
                                   L"owed it its default mark: it keeps it as it is now\r\n"));
    EXPECT_EQ(defaultPrinter(), kPrinterB);
}

// The entries go once the spooler's record is flushed where this machine
// keeps the printers; a flush that fails keeps them (error 22).
TEST_F(JournalTest, TheSpoolersRecordIsFlushedWhereItHoldsThePrinterBeforeEntriesGo) {
    AddMonitor();
    AddPrinter(kOffice, kDriverName, "abc");
    MarkDefaultPrinter(run);
    run.checkMonitorVersion = 1;
    static HKEY holding;
    static int flushedHolding;
    holding = nullptr;
    flushedHolding = 0;
    ScopedOverride open(
        advapi.RegOpenKeyExW,
        [](HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) -> LSTATUS {
            LSTATUS status = RegOpenKeyExW(root, path, options, access, key);
            std::wstring wanted = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";
            if (status == ERROR_SUCCESS && std::wstring(path) == wanted + kOffice) {
                holding = *key;
            }
            return status;
        });
    ScopedOverride flush(advapi.RegFlushKey, [](HKEY key) -> LSTATUS {
        if (key != holding) {
            return RegFlushKey(key);
        }
        ++flushedHolding;
        return ERROR_WRITE_FAULT;
    });
    RemoveProductPrinters(run);
    RestorePrinters(run);
    EXPECT_EQ(flushedHolding, 1);
    EXPECT_THAT(LogOf(run), testing::EndsWith(L"Error(22): Can`t write the spooler's printers to "
                                              L"disk" +
                                              ErrorTail(ERROR_WRITE_FAULT) + L"\r\n"));
    EXPECT_EQ(JournalValue(kOffice), L"SubKey=abc");
}

// An entry this build cannot read at all is reported once and set aside, as
// it is, where an administrator finds it; later installs go on without it.
TEST_F(JournalTest, AnUnreadableEntryIsReportedOnceAndSetAside) {
    AddMonitor();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kJournalKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD number = 7;
    RegSetValueExW(key, kOffice, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4);
    RegCloseKey(key);
    JournalEarlierEntry(kPrinterA, L"Comment=no SubKey");
    run.checkMonitorVersion = 1;
    RestorePrinters(run);
    scratch.ExpectPrinter(kFallbackPrinterName);
    std::wstring setAside = L" is set aside in HKEY_LOCAL_MACHINE\\" + std::wstring(kSetAsideKey);
    EXPECT_EQ(LogOf(run), L"Error(21): Can`t read the journal entry of printer 'Zrl Office'" +
                              ErrorTail(ERROR_INVALID_DATA) +
                              L"\r\nThe journal entry of printer 'Zrl Office'" + setAside +
                              L"\r\nError(21): Can`t read the journal entry of printer 'Zrl "
                              L"Printer A'" +
                              ErrorTail(ERROR_INVALID_DATA) +
                              L"\r\nThe journal entry of printer 'Zrl Printer A'" + setAside +
                              L"\r\n" + AddedWithMonitor(kFallbackPrinterName));
    DWORD kept = 0;
    DWORD bytes = sizeof(kept);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kSetAsideKey, kOffice, RRF_RT_REG_DWORD, nullptr,
                           &kept, &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(kept, 7u);
    HKEY left = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kJournalKey, 0, KEY_READ, &left), ERROR_SUCCESS);

    FreeCountedString(run.logText);
    RestorePrinters(run);
    EXPECT_THAT(LogOf(run), testing::Not(testing::HasSubstr(L"Error(21)")));

    // A copy that cannot be written leaves the entry in the journal: it is
    // never in neither place.
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kJournalKey, kOffice, REG_DWORD, &number, 4),
              ERROR_SUCCESS);
    FreeCountedString(run.logText);
    {
        ScopedOverride full(advapi.RegSetValueExW,
                            [](HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                               DWORD bytes) -> LSTATUS {
                                return std::wstring(name).rfind(kOffice, 0) == 0
                                           ? ERROR_WRITE_FAULT
                                           : RegSetValueExW(key, name, reserved, type, data, bytes);
                            });
        RestorePrinters(run);
    }
    EXPECT_THAT(LogOf(run), testing::StartsWith(L"Error(21): Can`t read the journal entry of "
                                                L"printer 'Zrl Office'" +
                                                ErrorTail(ERROR_INVALID_DATA) + L"\r\n>"));
    kept = 0;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kJournalKey, kOffice, RRF_RT_REG_DWORD, nullptr,
                           &kept, &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(kept, 7u);
}

// ---- journal records as anyone with the registry editor can write them -----------

using Bytes = std::string;

Bytes Dwords(std::initializer_list<DWORD> values) {
    Bytes bytes;
    for (DWORD value : values) {
        bytes.append(reinterpret_cast<const char*>(&value), sizeof(value));
    }
    return bytes;
}

Bytes Utf16(const std::wstring& text) {
    return Bytes(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
}

Bytes Padded(Bytes bytes) {
    bytes.resize((bytes.size() + 7) & ~size_t{7});
    return bytes;
}

// A field header with any sizes, then `rest` as it is.
Bytes RawField(RecordField field, DWORD nameBytes, DWORD dataBytes, const Bytes& rest) {
    return Dwords({static_cast<DWORD>(field), REG_BINARY, nameBytes, dataBytes}) + rest;
}

Bytes Field(RecordField field, const Bytes& data, const Bytes& name = "") {
    return RawField(field, static_cast<DWORD>(name.size()), static_cast<DWORD>(data.size()),
                    Padded(name) + Padded(data));
}

Bytes Record(const Bytes& fields, DWORD format = 1) {
    return Dwords({0x504C525A, format}) + Field(RecordField::SubKey, Utf16(L"abc")) + fields;
}

// A copy of the bytes that ends where a page nobody may read begins: a read
// past the end of a record crashes the test instead of passing unseen.
bool ReadFenced(const Bytes& bytes, CarriedProperties& properties) {
    constexpr SIZE_T kRoom = 64 * 1024;
    static BYTE* base = [] {
        auto* pages = static_cast<BYTE*>(
            VirtualAlloc(nullptr, kRoom + 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(pages + kRoom, 4096, PAGE_NOACCESS, &old);
        return pages;
    }();
    BYTE* at = base + kRoom - bytes.size();
    CopyMemory(at, bytes.data(), bytes.size());
    return ReadRecord(at, static_cast<DWORD>(bytes.size()), properties);
}

Bytes SelfRelative(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG bytes = 0;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                     &descriptor, &bytes));
    Bytes copy(static_cast<const char*>(descriptor), bytes);
    LocalFree(descriptor);
    return copy;
}

// The descriptor with one header field (at `offset`) changed.
Bytes Changed(Bytes descriptor, size_t offset, DWORD value, size_t width = sizeof(DWORD)) {
    CopyMemory(descriptor.data() + offset, &value, width);
    return descriptor;
}

TEST(JournalRecord, EveryCutAndEveryBoundIsReadOrRefusedWithoutReadingPastTheEnd) {
    // A whole record: SubKey, texts, a number, the flag, a DEVMODE, a
    // descriptor and a printer-data value.
    DEVMODEW devMode = {};
    devMode.dmSize = sizeof(devMode);
    Bytes security = SelfRelative(L"O:BAG:SYD:(A;;GA;;;WD)S:(AU;FA;GA;;;WD)");
    Bytes whole =
        Record(Field(RecordField::Comment, Utf16(L"c")) +
               Field(RecordField::Attributes, Dwords({64})) + Field(RecordField::Default, "") +
               Field(RecordField::DevMode,
                     Bytes(reinterpret_cast<const char*>(&devMode), sizeof(devMode))) +
               Field(RecordField::Security, security) +
               Field(RecordField::PrinterData, Dwords({7}),
                     Utf16(L"PrinterDriverData") + Utf16(L"Pages")));
    CarriedProperties read = {};
    ASSERT_TRUE(ReadFenced(whole, read));
    EXPECT_STREQ(read.subKey, "abc");
    EXPECT_EQ(read.attributes, 64u);
    EXPECT_NE(read.security, nullptr);
    DWORD cursor = 0;
    PrinterDataValue value = {};
    EXPECT_TRUE(NextPrinterData(read, cursor, value));
    EXPECT_FALSE(NextPrinterData(read, cursor, value));

    // Cut anywhere: only a cut between two fields after the SubKey leaves a record.
    std::vector<size_t> ends;
    for (size_t at = 8; at < whole.size();) {
        DWORD sizes[2];
        CopyMemory(sizes, whole.data() + at + 8, sizeof(sizes));
        at += 16 + ((sizes[0] + 7) & ~7u) + ((sizes[1] + 7) & ~7u);
        ends.push_back(at);
    }
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        bool fieldEnd = std::find(ends.begin(), ends.end(), cut) != ends.end();
        EXPECT_EQ(ReadFenced(whole.substr(0, cut), read), fieldEnd) << "cut to " << cut;
    }

    // A last field, of a number this build passes over, with `room` bytes after its header.
    auto last = [](DWORD nameBytes, DWORD dataBytes, size_t room) {
        return Record(
            RawField(static_cast<RecordField>(31), nameBytes, dataBytes, Bytes(room, 'x')));
    };
    const std::pair<Bytes, bool> blobs[] = {
        {Record(""), true},
        {Record("", 2), false},  // a newer format
        {Record("", 0), false},
        {Dwords({0x504C525B, 1}) + Field(RecordField::SubKey, Utf16(L"abc")), false},
        {Record(Field(static_cast<RecordField>(31), "later")), true},
        {Record(Field(static_cast<RecordField>(0xFFFFFFFF), "later")), true},
        {last(8, 0, 8), true},  // a name that fills the record
        {last(9, 0, 8), false},
        {last(0, 16, 16), true},
        {last(0, 17, 16), false},
        {last(8, 8, 16), true},
        {last(8, 9, 16), false},
        {last(8, 8, 8), false},
        {last(0, 0xFFFFFFFF, 16), false},
        {last(0, 0xFFFFFFF9, 0), false},  // aligns to 0
        {last(0xFFFFFFF9, 0, 0), false},
        {last(0x80000000, 0x80000000, 16), false},
        {Record(Field(RecordField::Comment, "")), false},
        {Record(Field(RecordField::Comment, Bytes("a\0b\0", 4))), false},  // no terminator
        {Record(Field(RecordField::Comment, Utf16(L"c").substr(0, 3))), false},
        {Record(Field(RecordField::Comment, Utf16(L"c") + "x")), false},
        {Dwords({0x504C525A, 1}) + Field(RecordField::SubKey, Utf16(L"")), false},
        {Dwords({0x504C525A, 1}) + Field(RecordField::SubKey, Utf16(std::wstring(63, L'k'))), true},
        {Dwords({0x504C525A, 1}) + Field(RecordField::SubKey, Utf16(std::wstring(64, L'k'))),
         false},
        {Record(Field(RecordField::Priority, Dwords({1}).substr(0, 3))), false},
        {Record(Field(RecordField::Priority, Dwords({1, 2}))), false},
        {Record(Field(RecordField::DevMode, Bytes(sizeof(DEVMODEW), '\0'))), false},
        {Record(Field(RecordField::DevMode, Bytes(reinterpret_cast<const char*>(&devMode),
                                                  offsetof(DEVMODEW, dmFields)))),
         false},
        {Record(Field(RecordField::PrinterData, "", Utf16(L"PrinterDriverData"))), false},
        {Record(Field(RecordField::PrinterData, "", Utf16(L"") + Utf16(L"Pages"))), false},
        {Record(Field(RecordField::PrinterData, "", Utf16(L"K") + Utf16(L"V") + "xx")), false},
    };
    for (const auto& [blob, readable] : blobs) {
        EXPECT_EQ(ReadFenced(blob, read), readable) << testing::PrintToString(blob);
    }

    // The descriptor's offsets and sizes at and past each bound.
    SECURITY_DESCRIPTOR_RELATIVE header;
    CopyMemory(&header, security.data(), sizeof(header));
    DWORD size = static_cast<DWORD>(security.size());
    WORD daclBytes = 0;
    CopyMemory(&daclBytes, security.data() + header.Dacl + 2, sizeof(daclBytes));
    const size_t owner = offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner);
    const size_t group = offsetof(SECURITY_DESCRIPTOR_RELATIVE, Group);
    const size_t sacl = offsetof(SECURITY_DESCRIPTOR_RELATIVE, Sacl);
    const size_t dacl = offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl);
    // A gap before an access list: only its own bound sees its size pass the end.
    Bytes alone = SelfRelative(L"D:(A;;GA;;;WD)");
    Bytes gap = Changed(alone.substr(0, 20) + Bytes(20, '\0') + alone.substr(20), dacl, 40);
    const std::pair<Bytes, bool> descriptors[] = {
        {security, true},
        {security.substr(0, size - 1), false},
        {gap, true},
        {Changed(gap, 42, static_cast<DWORD>(alone.size()) - 20 + 8, sizeof(WORD)), false},
        {security.substr(0, sizeof(header) - 1), false},
        {Changed(security, 0, 2, 1), false},  // revision
        {Changed(security, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Control),
                 header.Control & ~SE_SELF_RELATIVE, sizeof(WORD)),
         false},
        {Changed(security, owner, size), false},
        {Changed(security, owner, size - 8), false},
        // A SID header in the last eight bytes, its two sub-authorities past the end.
        {Changed(Changed(security, owner, size - 8), size - 8, 0x0201, sizeof(WORD)), false},
        {Changed(security, owner, 0xFFFFFFF0), false},
        {Changed(security, header.Owner + 1, 16, 1), false},  // sub-authority count
        {Changed(security, group, size), false},
        {Changed(security, sacl, size - 4), false},
        {Changed(security, dacl, size), false},
        {Changed(security, header.Dacl + 2, size - header.Dacl + 1, sizeof(WORD)), false},
        {Changed(security, header.Dacl + 2, sizeof(ACL) - 1, sizeof(WORD)), false},
        {Changed(security, header.Dacl + 4, 2, sizeof(WORD)), false},  // entries
        // Parts that overlap: their sizes add up to more than the descriptor.
        {Changed(security, header.Dacl + 2, daclBytes + 4, sizeof(WORD)), false},
    };
    for (const auto& [descriptor, readable] : descriptors) {
        EXPECT_EQ(ReadFenced(Record(Field(RecordField::Security, descriptor)), read), readable)
            << testing::PrintToString(descriptor);
    }
}

// ---- printer data and the settings key ------------------------------------------

class SubKeyTest : public PrintersTest {
protected:
    void SetUp() override {
        PrintersTest::SetUp();
        AddPrinter(kOffice, kDriverName);
        printer.Reset(scratch.OpenForDelete(kOffice));
        ASSERT_TRUE(printer);
    }
    std::string Read() {
        char text[kSubKeyBytes];
        FillMemory(text, sizeof(text), 'x');
        ReadPrinterSubKey(printer.Get(), text);
        for (char c : text) {
            if (text[0] == 0 && c != 0) {
                return "(not cleared)";
            }
        }
        return std::string(text, strnlen(text, sizeof(text)));
    }
    UniquePrinter printer;
};

TEST_F(SubKeyTest, ThePlainValueIsPreferred) {
    ASSERT_EQ(SetData(printer.Get(), nullptr, "plain"), 0u);
    ASSERT_EQ(SetData(printer.Get(), "DsUser", "dsuser"), 0u);
    EXPECT_EQ(Read(), "plain");
}

TEST_F(SubKeyTest, WithoutAPlainValueTheOneUnderDsUserIsRead) {
    ASSERT_EQ(SetData(printer.Get(), "DsUser", "dsuser"), 0u);
    EXPECT_EQ(Read(), "dsuser");
}

TEST_F(SubKeyTest, APlainValueOfAnotherTypeIsPassedOver) {
    ASSERT_EQ(SetData(printer.Get(), nullptr, "bin", REG_BINARY), 0u);
    ASSERT_EQ(SetData(printer.Get(), "DsUser", "dsuser"), 0u);
    EXPECT_EQ(Read(), "dsuser");
}

// An empty plain value is taken as it is: the printer then has no SubKey.
TEST_F(SubKeyTest, AnEmptyPlainValueIsTaken) {
    ASSERT_EQ(SetData(printer.Get(), nullptr, ""), 0u);
    ASSERT_EQ(SetData(printer.Get(), "DsUser", "dsuser"), 0u);
    EXPECT_EQ(Read(), "");
}

TEST_F(SubKeyTest, SixtyThreeCharactersFitAndSixtyFourDoNot) {
    std::string longest(63, 'k');
    ASSERT_EQ(SetData(printer.Get(), "DsUser", longest), 0u);
    EXPECT_EQ(Read(), longest);
    ASSERT_EQ(SetData(printer.Get(), "DsUser", longest + "k"), 0u);
    ASSERT_EQ(SetData(printer.Get(), nullptr, longest + "k"), 0u);
    EXPECT_EQ(Read(), "");
}

// Stored without a terminator, 64 characters fill the buffer exactly.
TEST_F(SubKeyTest, AValueWithoutTerminatorThatFillsTheBufferIsPassedOver) {
    std::string full(64, 'k');
    ASSERT_EQ(real.SetPrinterDataA(printer.Get(), const_cast<LPSTR>("SubKey"), REG_SZ,
                                   reinterpret_cast<BYTE*>(full.data()), 64),
              0u);
    ASSERT_EQ(SetData(printer.Get(), "DsUser", "dsuser"), 0u);
    EXPECT_EQ(Read(), "dsuser");
}

TEST_F(SubKeyTest, NoValueLeavesTheBufferEmpty) {
    EXPECT_EQ(Read(), "");
}

TEST_F(SubKeyTest, WritingPutsTheValueInBothPlaces) {
    SetLastError(kPoison);
    EXPECT_TRUE(WritePrinterSubKey(printer.Get(), "abc"));
    EXPECT_EQ(StoredSubKey(kOffice, nullptr), "abc");
    EXPECT_EQ(StoredSubKey(kOffice, "DsUser"), "abc");
    EXPECT_TRUE(WritePrinterSubKey(printer.Get(), nullptr));
    EXPECT_EQ(StoredSubKey(kOffice, nullptr), "");
    EXPECT_EQ(StoredSubKey(kOffice, "DsUser"), "");
}

TEST_F(SubKeyTest, OnlyTheDsUserWriteDecides) {
    {
        ScopedOverride refused(winspool.SetPrinterDataExA,
                               [](HANDLE, LPCSTR, LPCSTR, DWORD, LPBYTE, DWORD) -> DWORD {
                                   return ERROR_ACCESS_DENIED;
                               });
        EXPECT_FALSE(WritePrinterSubKey(printer.Get(), "abc"));
    }
    EXPECT_EQ(StoredSubKey(kOffice, nullptr), "abc");
    ScopedOverride refused(
        winspool.SetPrinterDataA,
        [](HANDLE, LPSTR, DWORD, LPBYTE, DWORD) -> DWORD { return ERROR_ACCESS_DENIED; });
    EXPECT_TRUE(WritePrinterSubKey(printer.Get(), "def"));
    EXPECT_EQ(StoredSubKey(kOffice, "DsUser"), "def");
}

TEST_F(PrintersTest, ClearingTheDeletedMarkRemovesOnlyThatValue) {
    ASSERT_TRUE(settings.AddKey(L"abc"));
    EXPECT_TRUE(ClearSettingsDeletedMark("Zantorelles\\abc"));
    EXPECT_FALSE(SettingsScratch::HasValue(L"abc", L"deleted"));
    EXPECT_TRUE(SettingsScratch::HasValue(L"abc", L"pages"));
    EXPECT_FALSE(ClearSettingsDeletedMark("Zantorelles\\abc"));
}

TEST_F(PrintersTest, ClearingTheDeletedMarkOfAMissingKeyIsFalse) {
    ASSERT_TRUE(settings.AddKey(L"kept", false));
    EXPECT_FALSE(ClearSettingsDeletedMark("Zantorelles\\missing"));
    EXPECT_FALSE(ClearSettingsDeletedMark("Zantorelles\\kept"));
    EXPECT_TRUE(SettingsScratch::HasValue(L"kept", L"pages"));
    EXPECT_FALSE(ClearSettingsDeletedMark(std::string(300, 'k').c_str()));
    EXPECT_FALSE(ClearSettingsDeletedMark(nullptr));
}

}  // namespace
