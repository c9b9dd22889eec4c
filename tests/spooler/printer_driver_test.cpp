#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "core/counted_string.h"
#include "core/deferred_delete.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "spooler/enumerations.h"
#include "spooler/printer_driver.h"
#include "spooler/spooler_scratch.h"
#include "spooler/winspool_api.h"
#include "support/fake_spooler_service.h"
#include "support/scoped_override.h"
#include "support/test_support.h"

namespace {

constexpr wchar_t kOtherDriver[] = L"Zrl Generic Text";

// " - (text)" as LogError appends it for `code`.
std::wstring ErrorSuffix(DWORD code) {
    wchar_t* text = SystemErrorText(code);
    if (!text) {
        return L" - ( No Description )";
    }
    std::wstring suffix = L" - (" + std::wstring(text) + L")";
    LocalFree(text);
    return suffix;
}

std::wstring Text(const wchar_t* text) {
    return text ? text : L"(none)";
}

std::vector<std::wstring> FilesIn(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            names.push_back(data.cFileName);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

std::vector<std::wstring> DeferredPaths(const DeferredDelete* head) {
    std::vector<std::wstring> paths;
    for (; head; head = head->next) {
        paths.push_back(head->path);
    }
    return paths;
}

// The spooler's own printer-driver directory, with its trailing separator.
std::wstring SpoolerDriverDir() {
    wchar_t dir[MAX_PATH] = {};
    DWORD needed = 0;
    GetPrinterDriverDirectoryW(nullptr, const_cast<LPWSTR>(kEnvironment), 1,
                               reinterpret_cast<BYTE*>(dir), sizeof(dir), &needed);
    return std::wstring(dir) + L"\\";
}

// Files a test may leave in shared folders, deleted at the end of the scope,
// also after a failed assertion.
class FileScratch {
public:
    FileScratch() = default;
    ~FileScratch() {
        for (const auto& path : paths_) {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
    }
    FileScratch(const FileScratch&) = delete;
    FileScratch& operator=(const FileScratch&) = delete;
    void Add(const std::wstring& path) { paths_.push_back(path); }

private:
    std::vector<std::wstring> paths_;
};

// What the spooler was handed by AddPrinterDriverExW, and what it answers.
// Strings are copied: the record points into the caller's buffers.
struct AddSpy {
    static inline int calls;
    static inline bool serverGiven;
    static inline DWORD level;
    static inline DWORD flags;
    static inline DRIVER_INFO_6W record;
    static inline std::vector<std::wstring> texts;  // the record's strings, field order
    static inline bool stagedFilesPresent;
    static inline DWORD error;  // 0: the spooler takes the driver
    // Staged copies (bit 0 driver, 1 UI, 2 help) the "spooler" keeps open
    // without FILE_SHARE_DELETE, as a running spooler does.
    static inline unsigned lockMask;
    static inline std::vector<HANDLE> locks;

    static void Reset() {
        calls = 0;
        serverGiven = false;
        level = 0;
        flags = 0;
        record = {};
        texts.clear();
        stagedFilesPresent = false;
        error = 0;
        lockMask = 0;
        locks.clear();
    }
    static void ReleaseLocks() {
        for (HANDLE lock : locks) {
            CloseHandle(lock);
        }
        locks.clear();
    }
    static void Lock(const wchar_t* path) {
        HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            locks.push_back(file);
        }
    }
    static BOOL WINAPI Add(LPWSTR server, DWORD infoLevel, LPBYTE info, DWORD copyFlags) {
        ++calls;
        serverGiven = server != nullptr;
        level = infoLevel;
        flags = copyFlags;
        record = *reinterpret_cast<DRIVER_INFO_6W*>(info);
        texts = {Text(record.pName),
                 Text(record.pEnvironment),
                 Text(record.pDriverPath),
                 Text(record.pDataFile),
                 Text(record.pConfigFile),
                 Text(record.pHelpFile),
                 Text(record.pDependentFiles),
                 Text(record.pMonitorName),
                 Text(record.pDefaultDataType),
                 Text(record.pszzPreviousNames),
                 Text(record.pszMfgName),
                 Text(record.pszOEMUrl),
                 Text(record.pszHardwareID),
                 Text(record.pszProvider)};
        stagedFilesPresent = FileExists(record.pDriverPath) && FileExists(record.pConfigFile) &&
                             (!*record.pHelpFile || FileExists(record.pHelpFile));
        const wchar_t* staged[] = {record.pDriverPath, record.pConfigFile, record.pHelpFile};
        for (int i = 0; i < 3; ++i) {
            if (lockMask & (1u << i)) {
                Lock(staged[i]);
            }
        }
        if (error != 0) {
            SetLastError(error);
            return FALSE;
        }
        return TRUE;
    }
};

// Every DeleteFileW the product makes, passed on to the real one.
struct DeleteSpy {
    static inline std::vector<std::wstring> paths;
    static BOOL WINAPI Delete(LPCWSTR path) {
        paths.push_back(Text(path));
        return ::DeleteFileW(path);
    }
};

class DriverFiles : public testing::Test {
protected:
    DriverFiles() {
        AddSpy::Reset();
        DeleteSpy::paths.clear();
        dir_ = MakeTempDir(L"printer-driver");
        source_ = dir_ + L"\\source\\";
        target_ = dir_ + L"\\drivers\\";
        CreateDirectoryW(source_.c_str(), nullptr);
        CreateDirectoryW(target_.c_str(), nullptr);
        run_.environment = kEnvironment;
        run_.driverDll = kDriverDll;
        run_.uiDll = kUiDll;
        run_.helpFile = kHelpFile;
        AssignCountedString(run_.sourceDir, source_.c_str());
        AssignCountedString(run_.driverDir, target_.c_str());
    }
    ~DriverFiles() override {
        AddSpy::ReleaseLocks();
        ClearDeferredDeletes(run_.deferredDeletes);
        FreeCountedString(run_.sourceDir);
        FreeCountedString(run_.driverDir);
        FreeCountedString(run_.logText);
        EXPECT_EQ(memory_.HeapBlocks(), 0);
        EXPECT_EQ(memory_.GlobalBlocks(), 0);
        RemoveTree(dir_);
    }

    // Distinct contents, so that a file copied under the wrong name shows.
    void PutSourceFiles(bool driver, bool ui, bool help) {
        if (driver) {
            WriteFileBytes(source_ + kDriverDll, "driver DLL");
        }
        if (ui) {
            WriteFileBytes(source_ + kUiDll, "user-interface DLL");
        }
        if (help) {
            WriteFileBytes(source_ + kHelpFile, "help file");
        }
    }

    std::wstring CopyLines(const wchar_t* name, const wchar_t* outcome) const {
        return L"  >CopyFile " + std::wstring(name) + L" to " + target_ + L" [1])\r\n    " +
               outcome + L"\r\n";
    }
    std::wstring MissingSourceLines(const wchar_t* name) const {
        return L"  >CopyFile " + std::wstring(name) + L" to " + target_ + L" [1])\r\n" +
               L"    Error(10): Cant't open source file: " + name +
               ErrorSuffix(ERROR_FILE_NOT_FOUND) + L"\r\n    Copy Failed :(\r\n";
    }

    AllocationCounter memory_;
    InstallRun run_ = EmptyRun();
    std::wstring dir_;
    std::wstring source_;
    std::wstring target_;
    ScopedOverride<decltype(winspool.AddPrinterDriverExW)> add_{winspool.AddPrinterDriverExW,
                                                                &AddSpy::Add};
    ScopedOverride<decltype(kernel.DeleteFileW)> delete_{kernel.DeleteFileW, &DeleteSpy::Delete};
};

TEST_F(DriverFiles, HandsTheSpoolerTheStagedFilesAtLevelSix) {
    PutSourceFiles(true, true, true);
    InstallPrinterDriver(run_);

    ASSERT_EQ(AddSpy::calls, 1);
    EXPECT_FALSE(AddSpy::serverGiven);
    EXPECT_EQ(AddSpy::level, 6u);
    EXPECT_EQ(AddSpy::flags, static_cast<DWORD>(APD_COPY_ALL_FILES));
    EXPECT_TRUE(AddSpy::stagedFilesPresent);
    const DRIVER_INFO_6W& record = AddSpy::record;
    EXPECT_EQ(record.cVersion, 3u);
    EXPECT_EQ(record.ftDriverDate.dwLowDateTime, 0u);
    EXPECT_EQ(record.ftDriverDate.dwHighDateTime, 0u);
    EXPECT_EQ(record.dwlDriverVersion, 0u);
    EXPECT_EQ(record.pDriverPath, record.pDataFile);
    ASSERT_EQ(AddSpy::texts.size(), 14u);
    std::wstring url = AddSpy::texts[11];
    EXPECT_EQ(url.rfind(L"https://", 0), 0u) << url;
    AddSpy::texts[11] = L"<url>";
    EXPECT_THAT(AddSpy::texts, testing::ElementsAre(kDriverName, kEnvironment, target_ + kDriverDll,
                                                    target_ + kDriverDll, target_ + kUiDll,
                                                    target_ + kHelpFile, L"(none)", L"(none)",
                                                    L"(none)", L"(none)", L"Dravish Software Kft.",
                                                    L"<url>", L"(none)", L"Dravish Software Kft."));

    EXPECT_THAT(DeleteSpy::paths,
                testing::ElementsAre(target_ + kDriverDll, target_ + kUiDll, target_ + kHelpFile));
    EXPECT_THAT(FilesIn(target_), testing::IsEmpty());
    EXPECT_EQ(run_.deferredDeletes, nullptr);
    EXPECT_EQ(run_.errorCount, 0);
    EXPECT_EQ(run_.logDepth, 0);
    EXPECT_EQ(LogOf(run_), L">Add Printer Driver\r\n" +
                               CopyLines(kDriverDll, L"Copy Succeeded :)") +
                               CopyLines(kUiDll, L"Copy Succeeded :)") +
                               CopyLines(kHelpFile, L"Copy Succeeded :)") + L"  OK :)\r\n");
}

TEST_F(DriverFiles, RejectedDriverIsErrorThirteenAndTheStagedCopiesStillGo) {
    PutSourceFiles(true, true, true);
    AddSpy::error = ERROR_UNKNOWN_PRINTER_DRIVER;
    SetLastError(kPoison);
    InstallPrinterDriver(run_);

    EXPECT_EQ(AddSpy::calls, 1);
    EXPECT_EQ(run_.errorCount, 1);
    EXPECT_EQ(run_.logDepth, 0);
    EXPECT_EQ(LogOf(run_), L">Add Printer Driver\r\n" +
                               CopyLines(kDriverDll, L"Copy Succeeded :)") +
                               CopyLines(kUiDll, L"Copy Succeeded :)") +
                               CopyLines(kHelpFile, L"Copy Succeeded :)") +
                               L"  Error(13): Can`t install a printer driver 'Zantorelle printer'" +
                               ErrorSuffix(ERROR_UNKNOWN_PRINTER_DRIVER) + L"\r\n");
    EXPECT_EQ(DeleteSpy::paths.size(), 3u);
    EXPECT_THAT(FilesIn(target_), testing::IsEmpty());
    EXPECT_EQ(run_.deferredDeletes, nullptr);
}

TEST_F(DriverFiles, MissingDriverDllStopsBeforeAnythingIsRegisteredOrDeleted) {
    PutSourceFiles(false, true, true);
    run_.logDepth = 2;
    InstallPrinterDriver(run_);

    EXPECT_EQ(AddSpy::calls, 0);
    EXPECT_THAT(DeleteSpy::paths, testing::IsEmpty());
    EXPECT_THAT(FilesIn(target_), testing::IsEmpty());
    EXPECT_EQ(run_.deferredDeletes, nullptr);
    EXPECT_EQ(run_.errorCount, 1);
    EXPECT_EQ(run_.logDepth, 2);
    EXPECT_EQ(LogOf(run_),
              L"    >Add Printer Driver\r\n"
              L"      >CopyFile zrldrv64.dll to " +
                  target_ + L" [1])\r\n" +
                  L"        Error(10): Cant't open source file: zrldrv64.dll" +
                  ErrorSuffix(ERROR_FILE_NOT_FOUND) +
                  L"\r\n"
                  L"        Copy Failed :(\r\n");
}

TEST_F(DriverFiles, MissingUiDllLeavesTheStagedDriverDllUnlisted) {
    PutSourceFiles(true, false, true);
    InstallPrinterDriver(run_);

    EXPECT_EQ(AddSpy::calls, 0);
    EXPECT_THAT(DeleteSpy::paths, testing::IsEmpty());
    EXPECT_THAT(FilesIn(target_), testing::ElementsAre(kDriverDll));
    EXPECT_EQ(run_.deferredDeletes, nullptr);
    EXPECT_EQ(run_.errorCount, 1);
    EXPECT_EQ(run_.logDepth, 0);
    EXPECT_EQ(LogOf(run_), L">Add Printer Driver\r\n" +
                               CopyLines(kDriverDll, L"Copy Succeeded :)") +
                               MissingSourceLines(kUiDll));
}

TEST_F(DriverFiles, MissingHelpFileRegistersAnEmptyHelpPathAndRemovesTwoCopies) {
    PutSourceFiles(true, true, false);
    InstallPrinterDriver(run_);

    ASSERT_EQ(AddSpy::calls, 1);
    ASSERT_NE(AddSpy::record.pHelpFile, nullptr);
    EXPECT_EQ(AddSpy::texts[5], L"");
    EXPECT_EQ(AddSpy::texts[2], target_ + kDriverDll);
    EXPECT_EQ(AddSpy::texts[4], target_ + kUiDll);
    EXPECT_THAT(DeleteSpy::paths, testing::ElementsAre(target_ + kDriverDll, target_ + kUiDll));
    EXPECT_THAT(FilesIn(target_), testing::IsEmpty());
    EXPECT_EQ(run_.deferredDeletes, nullptr);
    EXPECT_EQ(run_.errorCount, 1);
    EXPECT_EQ(LogOf(run_), L">Add Printer Driver\r\n" +
                               CopyLines(kDriverDll, L"Copy Succeeded :)") +
                               CopyLines(kUiDll, L"Copy Succeeded :)") +
                               MissingSourceLines(kHelpFile) + L"  OK :)\r\n");
}

TEST_F(DriverFiles, LockedStagedCopyIsLeftForLaterWithoutALine) {
    PutSourceFiles(true, true, true);
    AddSpy::lockMask = 1;
    InstallPrinterDriver(run_);

    ASSERT_EQ(AddSpy::locks.size(), 1u) << "the staged driver DLL could not be locked";
    EXPECT_THAT(DeferredPaths(run_.deferredDeletes), testing::ElementsAre(target_ + kDriverDll));
    EXPECT_THAT(FilesIn(target_), testing::ElementsAre(kDriverDll));
    EXPECT_EQ(run_.errorCount, 0);
    EXPECT_EQ(LogOf(run_), L">Add Printer Driver\r\n" +
                               CopyLines(kDriverDll, L"Copy Succeeded :)") +
                               CopyLines(kUiDll, L"Copy Succeeded :)") +
                               CopyLines(kHelpFile, L"Copy Succeeded :)") + L"  OK :)\r\n");
}

TEST_F(DriverFiles, AllLockedCopiesAreListedNewestFirstAndOnlyOnce) {
    PutSourceFiles(true, true, true);
    AddDeferredDelete(run_.deferredDeletes, (target_ + kUiDll).c_str());
    AddSpy::lockMask = 7;
    AddSpy::error = ERROR_UNKNOWN_PRINTER_DRIVER;
    InstallPrinterDriver(run_);

    ASSERT_EQ(AddSpy::locks.size(), 3u);
    EXPECT_THAT(DeferredPaths(run_.deferredDeletes),
                testing::ElementsAre(target_ + kHelpFile, target_ + kDriverDll, target_ + kUiDll));
    EXPECT_EQ(run_.errorCount, 1);
}

// The spooler's own copies of the driver files, wherever it puts them.
struct SpoolerCopies {
    std::wstring driver;
    std::wstring config;
    std::wstring help;
    std::wstring data;
};

class RealSpoolerDriver : public testing::Test {
protected:
    RealSpoolerDriver() {
        run_.environment = kEnvironment;
        run_.driverDll = kDriverDll;
        run_.uiDll = kUiDll;
        run_.helpFile = kHelpFile;
        setup_ = SetupDir() + L"\\";
        driverDir_ = SpoolerDriverDir();
        AssignCountedString(run_.sourceDir, setup_.c_str());
        AssignCountedString(run_.driverDir, driverDir_.c_str());
        for (const wchar_t* name : {kDriverDll, kUiDll, kHelpFile}) {
            files_.Add(driverDir_ + name);
            files_.Add(driverDir_ + L"3\\" + name);
        }
    }
    ~RealSpoolerDriver() override {
        ClearDeferredDeletes(run_.deferredDeletes);
        FreeCountedString(run_.sourceDir);
        FreeCountedString(run_.driverDir);
        FreeCountedString(run_.logText);
    }

    // Null when the spooler does not list the product driver.
    bool ReadProductDriver(SpoolerCopies& copies) {
        SpoolerEnumBuffer list;
        EnumerateDrivers(list, kEnvironment);
        int index = FindProductDriver(list);
        if (index >= 0) {
            const DRIVER_INFO_6W& record = static_cast<DRIVER_INFO_6W*>(list.buffer)[index];
            copies = {Text(record.pDriverPath), Text(record.pConfigFile), Text(record.pHelpFile),
                      Text(record.pDataFile)};
            for (const std::wstring& path : {copies.driver, copies.config, copies.help}) {
                files_.Add(path);
            }
        }
        FreeGlobal(list.buffer);
        return index >= 0;
    }

    InstallRun run_ = EmptyRun();
    std::wstring setup_;
    std::wstring driverDir_;
    FileScratch files_;
    SpoolerScratch scratch_;
};

TEST_F(RealSpoolerDriver, InstallsTheDriverAndRemovesTheStagedCopies) {
    ASSERT_TRUE(FileExists(setup_ + kDriverDll)) << "no stand-ins: run `ctest -R wine.unit.start`";
    SpoolerCopies copies;
    ASSERT_FALSE(ReadProductDriver(copies)) << "the shared prefix already has the driver";
    scratch_.ExpectDriver(kDriverName);
    std::wstring log;
    {
        AllocationCounter memory;
        InstallPrinterDriver(run_);
        log = LogOf(run_);
        FreeCountedString(run_.logText);
        EXPECT_EQ(memory.HeapBlocks(), 0);
        EXPECT_EQ(memory.GlobalBlocks(), 0);
    }
    EXPECT_EQ(log,
              L">Add Printer Driver\r\n"
              L"  >CopyFile zrldrv64.dll to " +
                  driverDir_ +
                  L" [1])\r\n"
                  L"    Copy Succeeded :)\r\n"
                  L"  >CopyFile zrlui64.dll to " +
                  driverDir_ +
                  L" [1])\r\n"
                  L"    Copy Succeeded :)\r\n"
                  L"  >CopyFile zrlhelp.chm to " +
                  driverDir_ +
                  L" [1])\r\n"
                  L"    Copy Succeeded :)\r\n"
                  L"  OK :)\r\n");
    EXPECT_EQ(run_.errorCount, 0);
    EXPECT_EQ(run_.logDepth, 0);
    EXPECT_EQ(run_.deferredDeletes, nullptr);

    ASSERT_TRUE(ReadProductDriver(copies));
    EXPECT_EQ(copies.driver, driverDir_ + L"3\\" + kDriverDll);
    EXPECT_EQ(copies.data, copies.driver);
    EXPECT_EQ(copies.config, driverDir_ + L"3\\" + kUiDll);
    EXPECT_EQ(copies.help, driverDir_ + L"3\\" + kHelpFile);
    EXPECT_EQ(ReadFileBytes(copies.driver), ReadFileBytes(setup_ + kDriverDll));
    EXPECT_EQ(ReadFileBytes(copies.config), ReadFileBytes(setup_ + kUiDll));
    EXPECT_EQ(ReadFileBytes(copies.help), ReadFileBytes(setup_ + kHelpFile));
    for (const wchar_t* name : {kDriverDll, kUiDll, kHelpFile}) {
        EXPECT_FALSE(FileExists(driverDir_ + name)) << name;
    }
}

// A driver list as EnumerateDrivers makes it, from names (null: no name).
class DriverList {
public:
    DriverList(std::initializer_list<const wchar_t*> names) {
        for (const wchar_t* name : names) {
            DRIVER_INFO_6W record = {};
            record.cVersion = 3;
            record.pName = const_cast<LPWSTR>(name);
            record.pEnvironment = const_cast<LPWSTR>(kEnvironment);
            records_.push_back(record);
        }
    }
    SpoolerEnumBuffer Buffer() {
        return {records_.empty() ? nullptr : records_.data(), 6,
                static_cast<UINT32>(records_.size())};
    }

private:
    std::vector<DRIVER_INFO_6W> records_;
};

// DeletePrinterDriverExW answering from a script: one error code per call,
// 0 for success. What it was asked is kept.
struct DeleteDriverSpy {
    static inline int calls;
    static inline DWORD errors[2];
    static inline bool serverGiven;
    static inline std::wstring environment;
    static inline std::wstring name;
    static inline DWORD flags;
    static inline DWORD version;
    static inline int startsBeforeCall[2];

    static void Reset() {
        calls = 0;
        errors[0] = errors[1] = 0;
        serverGiven = false;
        environment.clear();
        name.clear();
        flags = version = 0;
        startsBeforeCall[0] = startsBeforeCall[1] = -1;
    }
    static BOOL WINAPI Delete(LPWSTR server, LPWSTR env, LPWSTR driver, DWORD deleteFlags,
                              DWORD versionFlag) {
        int call = calls++;
        serverGiven = server != nullptr;
        environment = Text(env);
        name = Text(driver);
        flags = deleteFlags;
        version = versionFlag;
        DWORD error = call < 2 ? errors[call] : ERROR_CALL_NOT_IMPLEMENTED;
        if (call < 2) {
            startsBeforeCall[call] = FakeSpoolerService::starts;
        }
        if (error != 0) {
            SetLastError(error);
            return FALSE;
        }
        return TRUE;
    }
};

class RemoveDriver : public testing::Test {
protected:
    RemoveDriver() {
        DeleteDriverSpy::Reset();
        run_.environment = kEnvironment;
    }
    ~RemoveDriver() override {
        FreeCountedString(run_.logText);
        EXPECT_EQ(memory_.HeapBlocks(), 0);
        EXPECT_EQ(memory_.GlobalBlocks(), 0);
        EXPECT_EQ(FakeSpoolerService::closed, FakeSpoolerService::opened);
        EXPECT_EQ(FakeSpoolerService::polls, 0);
        EXPECT_EQ(FakeSpoolerService::shortPauses, 0);
    }

    AllocationCounter memory_;
    InstallRun run_ = EmptyRun();
    DriverList fiveWithProductThird_{L"Zrl Generic Text", L"Zrl Laser", kDriverName, L"Zrl Plotter",
                                     L"Zrl Fax"};
    FakeSpoolerService spooler_;
    ScopedOverride<decltype(winspool.DeletePrinterDriverExW)> delete_{
        winspool.DeletePrinterDriverExW, &DeleteDriverSpy::Delete};
};

constexpr wchar_t kFiveDriversListed[] =
    L"  ------------ 5 existing drivers-----------\r\n"
    L"  1. Zrl Generic Text\r\n"
    L"  2. Zrl Laser\r\n"
    L"  3. Zantorelle printer\r\n"
    L"  4. Zrl Plotter\r\n"
    L"  5. Zrl Fax\r\n"
    L"  -------------------------------------------\r\n"
    L"  Driver is found. Index=3\r\n";

TEST_F(RemoveDriver, EmptyListSaysSoAndDeletesNothing) {
    DriverList none{};
    RemovePrinterDriver(run_, none.Buffer());

    EXPECT_EQ(DeleteDriverSpy::calls, 0);
    EXPECT_EQ(run_.errorCount, 0);
    EXPECT_EQ(run_.logDepth, 0);
    EXPECT_EQ(LogOf(run_),
              L">DeletePrinterDriver for Windows x64\r\n"
              L"  BTW, there is no printer drivers on this system.\r\n"
              L"  No Zantorelle driver was found\r\n");
}

TEST_F(RemoveDriver, ListWithoutTheProductDriverIsWrittenAndNothingDeleted) {
    DriverList others{L"Zrl Generic Text", nullptr, L"zantorelle printer",
                      L"Zantorelle printer (old)", L"Zantorelle"};
    run_.logDepth = 2;
    RemovePrinterDriver(run_, others.Buffer());

    EXPECT_EQ(DeleteDriverSpy::calls, 0);
    EXPECT_EQ(run_.errorCount, 0);
    EXPECT_EQ(run_.logDepth, 2);
    EXPECT_EQ(LogOf(run_),
              L"    >DeletePrinterDriver for Windows x64\r\n"
              L"      ------------ 5 existing drivers-----------\r\n"
              L"      1. Zrl Generic Text\r\n"
              L"      2. ***EMPTY***\r\n"
              L"      3. zantorelle printer\r\n"
              L"      4. Zantorelle printer (old)\r\n"
              L"      5. Zantorelle\r\n"
              L"      -------------------------------------------\r\n"
              L"      No Zantorelle driver was found\r\n");
}

TEST_F(RemoveDriver, FoundDriverIsDeletedByNameWithAllItsFiles) {
    RemovePrinterDriver(run_, fiveWithProductThird_.Buffer());

    EXPECT_EQ(DeleteDriverSpy::calls, 1);
    EXPECT_FALSE(DeleteDriverSpy::serverGiven);
    EXPECT_EQ(DeleteDriverSpy::environment, kEnvironment);
    EXPECT_EQ(DeleteDriverSpy::name, kDriverName);
    EXPECT_EQ(DeleteDriverSpy::flags, static_cast<DWORD>(DPD_DELETE_ALL_FILES));
    EXPECT_EQ(DeleteDriverSpy::version, 0u);
    EXPECT_EQ(FakeSpoolerService::stops, 0);
    EXPECT_EQ(FakeSpoolerService::opened, 0);
    EXPECT_EQ(run_.errorCount, 0);
    EXPECT_EQ(run_.logDepth, 0);
    EXPECT_EQ(LogOf(run_), std::wstring(L">DeletePrinterDriver for Windows x64\r\n") +
                               kFiveDriversListed + L"  OK :)\r\n");
}

TEST_F(RemoveDriver, FirstRefusalRestartsTheSpoolerOnceAndTheRetryDeletes) {
    DeleteDriverSpy::errors[0] = ERROR_PRINTER_DRIVER_IN_USE;
    RemovePrinterDriver(run_, fiveWithProductThird_.Buffer());

    EXPECT_EQ(DeleteDriverSpy::calls, 2);
    EXPECT_EQ(FakeSpoolerService::stops, 1);
    EXPECT_EQ(FakeSpoolerService::starts, 1);
    EXPECT_EQ(DeleteDriverSpy::startsBeforeCall[0], 0);
    EXPECT_EQ(DeleteDriverSpy::startsBeforeCall[1], 1);
    EXPECT_EQ(DeleteDriverSpy::flags, static_cast<DWORD>(DPD_DELETE_ALL_FILES));
    EXPECT_EQ(DeleteDriverSpy::name, kDriverName);
    EXPECT_EQ(run_.errorCount, 0);
    EXPECT_EQ(run_.logDepth, 0);
    EXPECT_EQ(LogOf(run_), std::wstring(L">DeletePrinterDriver for Windows x64\r\n") +
                               kFiveDriversListed +
                               L"  Can't delete driver. Trying to restart spooler\r\n"
                               L"  >Restart Spooler\r\n"
                               L"  OK :)\r\n");
}

TEST_F(RemoveDriver, SecondRefusalIsOneErrorFourteenWithItsOwnText) {
    DeleteDriverSpy::errors[0] = ERROR_PRINTER_DRIVER_IN_USE;
    DeleteDriverSpy::errors[1] = ERROR_ACCESS_DENIED;
    SetLastError(kPoison);
    RemovePrinterDriver(run_, fiveWithProductThird_.Buffer());

    EXPECT_EQ(DeleteDriverSpy::calls, 2);
    EXPECT_EQ(FakeSpoolerService::stops, 1);
    EXPECT_EQ(FakeSpoolerService::starts, 1);
    EXPECT_EQ(run_.errorCount, 1);
    EXPECT_EQ(run_.logDepth, 0);
    EXPECT_EQ(LogOf(run_),
              std::wstring(L">DeletePrinterDriver for Windows x64\r\n") + kFiveDriversListed +
                  L"  Can't delete driver. Trying to restart spooler\r\n"
                  L"  >Restart Spooler\r\n"
                  L"  Error(14): Can`t remove the printer-driver 'Zantorelle printer'" +
                  ErrorSuffix(ERROR_ACCESS_DENIED) + L"\r\n");
}

TEST_F(RemoveDriver, FailedRestartShowsItsOwnLinesAndTheRetryStillRuns) {
    DeleteDriverSpy::errors[0] = ERROR_PRINTER_DRIVER_IN_USE;
    FakeSpoolerService::openManager = false;
    DriverList onlyProduct{kDriverName};
    run_.logDepth = 1;
    RemovePrinterDriver(run_, onlyProduct.Buffer());

    EXPECT_EQ(DeleteDriverSpy::calls, 2);
    EXPECT_EQ(FakeSpoolerService::starts, 0);
    EXPECT_EQ(run_.errorCount, 1);
    EXPECT_EQ(run_.logDepth, 1);
    EXPECT_EQ(LogOf(run_),
              L"  >DeletePrinterDriver for Windows x64\r\n"
              L"    ------------ 1 existing drivers-----------\r\n"
              L"    1. Zantorelle printer\r\n"
              L"    -------------------------------------------\r\n"
              L"    Driver is found. Index=1\r\n"
              L"    Can't delete driver. Trying to restart spooler\r\n"
              L"    >Restart Spooler\r\n"
              L"    Error(1): Can't open service manager." +
                  ErrorSuffix(ERROR_ACCESS_DENIED) +
                  L"\r\n"
                  L"    OK :)\r\n");
}

// Wine refuses every delete flag (ERROR_INVALID_PARAMETER), so the spooler is
// asked without them; what is checked is that the product's driver, and only
// it, leaves the real spooler.
TEST(RemoveDriverFromSpooler, DeletesTheProductDriverAndLeavesTheOthers) {
    SpoolerScratch scratch;
    ASSERT_TRUE(scratch.AddDriver(kOtherDriver));
    ASSERT_TRUE(scratch.AddDriver(kDriverName));
    static decltype(winspool.DeletePrinterDriverExW) real;
    static DWORD askedFlags;
    real = winspool.DeletePrinterDriverExW;
    askedFlags = 0;
    ScopedOverride withoutFlags(
        winspool.DeletePrinterDriverExW,
        [](LPWSTR server, LPWSTR env, LPWSTR name, DWORD flags, DWORD version) -> BOOL {
            askedFlags = flags;
            return real(server, env, name, 0, version);
        });
    InstallRun run = EmptyRun();
    run.environment = kEnvironment;
    SpoolerEnumBuffer before;
    EnumerateDrivers(before, kEnvironment);
    ASSERT_EQ(before.count, 2u);
    RemovePrinterDriver(run, before);
    FreeGlobal(before.buffer);

    EXPECT_EQ(askedFlags, static_cast<DWORD>(DPD_DELETE_ALL_FILES));
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_THAT(LogOf(run), testing::EndsWith(L"  OK :)\r\n"));
    SpoolerEnumBuffer after;
    EnumerateDrivers(after, kEnvironment);
    ASSERT_EQ(after.count, 1u);
    EXPECT_STREQ(static_cast<DRIVER_INFO_6W*>(after.buffer)[0].pName, kOtherDriver);
    FreeGlobal(after.buffer);
    FreeCountedString(run.logText);
}

}  // namespace
