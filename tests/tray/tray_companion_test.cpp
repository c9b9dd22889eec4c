#include <gmock/gmock.h>
#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "core/counted_string.h"
#include "core/kernel_api.h"
#include "support/scoped_override.h"
#include "support/test_support.h"
#include "core/session_api.h"
#include "tray/tray_companion.h"
#include "core/advapi_api.h"
#include "core/handles.h"
#include "core/user_api.h"

using testing::ElementsAre;
using testing::IsEmpty;

namespace {

constexpr wchar_t kRunKeyW[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr DWORD kStartTimeoutMs = 10000;

// ---- the Run value, restored whatever a test does ----------------------------

class RunValue {
public:
    RunValue() {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunKeyW, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                        nullptr);
        DWORD bytes = 0;
        existed_ = RegQueryValueExW(key_, kTrayRunValue, nullptr, &type_, nullptr, &bytes) ==
                   ERROR_SUCCESS;
        saved_.resize(bytes);
        if (existed_ && bytes) {
            RegQueryValueExW(key_, kTrayRunValue, nullptr, &type_, saved_.data(), &bytes);
        }
        Remove();
    }
    ~RunValue() {
        Remove();
        if (existed_) {
            RegSetValueExW(key_, kTrayRunValue, 0, type_, saved_.data(),
                           static_cast<DWORD>(saved_.size()));
        }
        RegCloseKey(key_);
    }
    RunValue(const RunValue&) = delete;
    RunValue& operator=(const RunValue&) = delete;

    void Set(const std::wstring& text) {
        SetRaw(REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    }
    void SetRaw(DWORD type, const void* data, size_t bytes) {
        ASSERT_EQ(RegSetValueExW(key_, kTrayRunValue, 0, type, static_cast<const BYTE*>(data),
                                 static_cast<DWORD>(bytes)),
                  ERROR_SUCCESS);
    }
    void Remove() { RegDeleteValueW(key_, kTrayRunValue); }
    bool Exists() const {
        return RegQueryValueExW(key_, kTrayRunValue, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS;
    }
    // The stored bytes as characters, the terminator included.
    std::wstring Raw() const {
        DWORD bytes = 0;
        DWORD type = 0;
        RegQueryValueExW(key_, kTrayRunValue, nullptr, &type, nullptr, &bytes);
        std::wstring text(bytes / sizeof(wchar_t), L'?');
        RegQueryValueExW(key_, kTrayRunValue, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                         &bytes);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        return text;
    }

private:
    HKEY key_ = nullptr;
    bool existed_ = false;
    DWORD type_ = 0;
    std::vector<BYTE> saved_;
};

// ---- what the product asked of the system ------------------------------------

struct Calls {
    int finds;
    std::vector<UINT> posts;
    std::vector<DWORD> waits;
    std::vector<DWORD> waitResults;
    std::vector<DWORD> sleeps;
    std::vector<std::wstring> deletes;
    // A sleep also sleeps for real only in tests with a real tray program.
    bool realSleeps;
};
Calls calls;

void ResetCalls() {
    calls = Calls{};
}

// ---- the stand-in tray program and a mutex held without one ------------------

std::wstring StandInTray() {
    return StageDir() + L"\\Zantorelle\\zantray.exe";
}

HWND FindTrayWindow() {
    return ::FindWindowW(kTrayWindowClass, nullptr);
}

bool WaitForTrayWindow() {
    for (DWORD waited = 0; waited < kStartTimeoutMs; waited += 20) {
        if (FindTrayWindow()) {
            return true;
        }
        ::Sleep(20);
    }
    return false;
}

bool TrayMutexExists() {
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, kTrayMutexName);
    if (mutex) {
        CloseHandle(mutex);
    }
    return mutex != nullptr;
}

// Ends every tray program still running when a test ends, whoever started it.
void EndTrayPrograms() {
    for (int i = 0; i < 10; ++i) {
        HWND window = FindTrayWindow();
        if (!window) {
            return;
        }
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (process) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
}

class TrayProgram {
public:
    // Starts a copy of the stand-in at `path` and waits for its window.
    bool Start(const std::wstring& path) {
        if (!CopyFileW(StandInTray().c_str(), path.c_str(), FALSE)) {
            return false;
        }
        std::wstring commandLine = L"\"" + path + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &info)) {
            return false;
        }
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        return WaitForTrayWindow();
    }
    bool HasEnded(DWORD waitMs) const {
        return WaitForSingleObject(process_, waitMs) == WAIT_OBJECT_0;
    }
    ~TrayProgram() {
        if (process_) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, 5000);
            CloseHandle(process_);
        }
        EndTrayPrograms();
    }

private:
    HANDLE process_ = nullptr;
};

// Owns the tray program's mutex on a thread of its own, as a tray program
// without a window would.
class MutexHolder : public MutexOnThread {
public:
    MutexHolder() : MutexOnThread(WideName()) {}

private:
    // The product opens it with CreateMutexA; the name is ASCII.
    static const wchar_t* WideName() {
        static const std::wstring name(kTrayMutexName, kTrayMutexName + sizeof(kTrayMutexName) - 1);
        return name.c_str();
    }
};

// ---- spies that record and pass the call on ----------------------------------

HWND WINAPI SpyFindWindow(LPCWSTR windowClass, LPCWSTR title) {
    ++calls.finds;
    return ::FindWindowW(windowClass, title);
}

BOOL WINAPI SpyPostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    EXPECT_EQ(wParam, 0u);
    EXPECT_EQ(lParam, 0);
    calls.posts.push_back(message);
    return ::PostMessageW(window, message, wParam, lParam);
}

DWORD WINAPI SpyWait(HANDLE handle, DWORD ms) {
    calls.waits.push_back(ms);
    DWORD result = ::WaitForSingleObject(handle, ms);
    calls.waitResults.push_back(result);
    return result;
}

void WINAPI SpySleep(DWORD ms) {
    calls.sleeps.push_back(ms);
    if (calls.realSleeps) {
        ::Sleep(ms);
    }
}

BOOL WINAPI SpyDeleteFile(LPCWSTR path) {
    calls.deletes.push_back(path);
    return ::DeleteFileW(path);
}

// ---- the fixture: a clean Run value, a folder, and the calls recorded --------

class StopTrayCompanionTest : public testing::Test {
protected:
    void SetUp() override {
        ResetCalls();
        dir_ = MakeTempDir(L"tray");
        trayExe_ = dir_ + L"\\zantray.exe";
    }
    void TearDown() override {
        SetFileAttributesW(trayExe_.c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveTree(dir_);
    }

    RunValue runValue_;
    std::wstring dir_;
    std::wstring trayExe_;
    ScopedOverride<decltype(user.FindWindowW)> finds_{user.FindWindowW, &SpyFindWindow};
    ScopedOverride<decltype(user.PostMessageW)> posts_{user.PostMessageW, &SpyPostMessage};
    ScopedOverride<decltype(kernel.WaitForSingleObject)> waits_{kernel.WaitForSingleObject,
                                                                &SpyWait};
    ScopedOverride<decltype(kernel.Sleep)> sleeps_{kernel.Sleep, &SpySleep};
    ScopedOverride<decltype(kernel.DeleteFileW)> deletes_{kernel.DeleteFileW, &SpyDeleteFile};
};

// A window that the table reports while none exists.
HWND FakeWindow() {
    return reinterpret_cast<HWND>(static_cast<INT_PTR>(0x4242));
}

std::vector<DWORD> Repeated(DWORD value, size_t times) {
    return std::vector<DWORD>(times, value);
}

TEST_F(StopTrayCompanionTest, NotRunningDeletesTheNamedFileAndRemovesTheValue) {
    WriteFileBytes(trayExe_, "MZ");
    runValue_.Set(trayExe_);

    StopTrayCompanion();

    EXPECT_EQ(calls.finds, 0);
    EXPECT_THAT(calls.waits, IsEmpty());
    EXPECT_THAT(calls.sleeps, IsEmpty());
    EXPECT_THAT(calls.deletes, ElementsAre(trayExe_));
    EXPECT_FALSE(FileExists(trayExe_));
    EXPECT_FALSE(runValue_.Exists());
}

// A reinstall keeps the program it registers again: the same file, however
// the Run value spells it; any other file named there still goes.
TEST_F(StopTrayCompanionTest, TheFileToKeepStaysWhateverItsSpelling) {
    WriteFileBytes(trayExe_, "MZ");
    std::wstring other = dir_ + L"\\old\\zantray.exe";
    CreateDirectoryW((dir_ + L"\\old").c_str(), nullptr);
    WriteFileBytes(other, "MZ");
    CreateDirectoryW((dir_ + L"\\Setup").c_str(), nullptr);
    std::wstring respelled = dir_ + L"\\SETUP\\..\\ZANTRAY.EXE";

    runValue_.Set(respelled);
    StopTrayCompanion(trayExe_.c_str());
    EXPECT_THAT(calls.deletes, IsEmpty());
    EXPECT_TRUE(FileExists(trayExe_));
    EXPECT_FALSE(runValue_.Exists());

    runValue_.Set(other);
    StopTrayCompanion(trayExe_.c_str());
    EXPECT_THAT(calls.deletes, ElementsAre(other));
    EXPECT_FALSE(FileExists(other));
    EXPECT_TRUE(FileExists(trayExe_));
}

TEST_F(StopTrayCompanionTest, RunningTrayEndsOnTheFirstMessage) {
    TrayProgram program;
    ASSERT_TRUE(program.Start(trayExe_)) << "stand-in tray program from `ctest -R stage`";
    ASSERT_TRUE(TrayMutexExists());
    runValue_.Set(trayExe_);
    calls.realSleeps = true;

    StopTrayCompanion();

    EXPECT_EQ(calls.finds, 1);
    EXPECT_THAT(calls.posts, ElementsAre(WM_USER + 2));
    EXPECT_THAT(calls.waits, ElementsAre(5000u));
    EXPECT_THAT(calls.waitResults, ElementsAre(static_cast<DWORD>(WAIT_OBJECT_0)));
    EXPECT_TRUE(program.HasEnded(5000));
    // Only a program still going away may cost pauses, 100 ms each.
    for (DWORD ms : calls.sleeps) {
        EXPECT_EQ(ms, 100u);
    }
    EXPECT_FALSE(FileExists(trayExe_));
    EXPECT_FALSE(runValue_.Exists());
}

TEST_F(StopTrayCompanionTest, ClosesItsMutexHandleSoTheNextTrayProgramStartsFresh) {
    {
        TrayProgram program;
        ASSERT_TRUE(program.Start(trayExe_));
        StopTrayCompanion();
        EXPECT_TRUE(program.HasEnded(5000));
    }
    EXPECT_FALSE(TrayMutexExists());
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kTrayMutexName);
    DWORD code = GetLastError();
    ASSERT_NE(mutex, nullptr);
    CloseHandle(mutex);
    EXPECT_NE(code, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

TEST_F(StopTrayCompanionTest, MutexHeldButNoWindowTriesTwentyTimesThenDeletesAnyway) {
    MutexHolder holder;
    WriteFileBytes(trayExe_, "MZ");
    runValue_.Set(trayExe_);

    StopTrayCompanion();

    EXPECT_EQ(calls.finds, 20);
    EXPECT_THAT(calls.posts, IsEmpty());
    EXPECT_THAT(calls.waits, IsEmpty());
    EXPECT_EQ(calls.sleeps, Repeated(250, 20));
    EXPECT_FALSE(FileExists(trayExe_));
    EXPECT_FALSE(runValue_.Exists());
}

TEST_F(StopTrayCompanionTest, WindowShowingUpLateCostsOnePausePerMiss) {
    MutexHolder holder;
    static int findCalls;
    findCalls = 0;
    ScopedOverride late(user.FindWindowW, [](LPCWSTR, LPCWSTR) -> HWND {
        ++calls.finds;
        return ++findCalls > 3 ? FakeWindow() : nullptr;
    });
    ScopedOverride post(user.PostMessageW, [](HWND w, UINT message, WPARAM, LPARAM) -> BOOL {
        EXPECT_EQ(w, FakeWindow());
        calls.posts.push_back(message);
        return TRUE;
    });
    ScopedOverride wait(kernel.WaitForSingleObject, [](HANDLE, DWORD ms) -> DWORD {
        calls.waits.push_back(ms);
        return WAIT_OBJECT_0;
    });
    WriteFileBytes(trayExe_, "MZ");
    runValue_.Set(trayExe_);

    StopTrayCompanion();

    EXPECT_EQ(calls.finds, 4);
    EXPECT_EQ(calls.sleeps, Repeated(250, 3));
    EXPECT_THAT(calls.posts, ElementsAre(WM_USER + 2));
    EXPECT_THAT(calls.waits, ElementsAre(5000u));
}

// The wait ends without the mutex (time-out or abandoned), and by the next
// attempt the window is gone: one more wait, then no more attempts.
class WindowGoneAfterFailedWait : public StopTrayCompanionTest,
                                  public testing::WithParamInterface<DWORD> {};

TEST_P(WindowGoneAfterFailedWait, WaitsOnceMoreAndStops) {
    MutexHolder holder;
    static DWORD firstResult;
    firstResult = GetParam();
    ScopedOverride once(user.FindWindowW, [](LPCWSTR, LPCWSTR) -> HWND {
        return ++calls.finds == 1 ? FakeWindow() : nullptr;
    });
    ScopedOverride post(user.PostMessageW, [](HWND, UINT message, WPARAM, LPARAM) -> BOOL {
        calls.posts.push_back(message);
        return TRUE;
    });
    ScopedOverride wait(kernel.WaitForSingleObject, [](HANDLE, DWORD ms) -> DWORD {
        calls.waits.push_back(ms);
        return calls.waits.size() == 1 ? firstResult : WAIT_TIMEOUT;
    });
    WriteFileBytes(trayExe_, "MZ");
    runValue_.Set(trayExe_);

    StopTrayCompanion();

    EXPECT_EQ(calls.finds, 2);
    EXPECT_THAT(calls.posts, ElementsAre(WM_USER + 2));
    EXPECT_THAT(calls.waits, ElementsAre(5000u, 5000u));
    EXPECT_THAT(calls.sleeps, IsEmpty());
    EXPECT_FALSE(FileExists(trayExe_));
    EXPECT_FALSE(runValue_.Exists());
}

INSTANTIATE_TEST_SUITE_P(TimeOutOrAbandoned, WindowGoneAfterFailedWait,
                         testing::Values(static_cast<DWORD>(WAIT_TIMEOUT),
                                         static_cast<DWORD>(WAIT_ABANDONED)));

TEST_F(StopTrayCompanionTest, TrayThatNeverLetsGoCostsTwentyOneWaits) {
    MutexHolder holder;
    ScopedOverride always(user.FindWindowW, [](LPCWSTR, LPCWSTR) -> HWND {
        ++calls.finds;
        return FakeWindow();
    });
    ScopedOverride post(user.PostMessageW, [](HWND, UINT message, WPARAM, LPARAM) -> BOOL {
        calls.posts.push_back(message);
        return TRUE;
    });
    ScopedOverride wait(kernel.WaitForSingleObject, [](HANDLE, DWORD ms) -> DWORD {
        calls.waits.push_back(ms);
        return WAIT_TIMEOUT;
    });
    WriteFileBytes(trayExe_, "MZ");
    runValue_.Set(trayExe_);

    StopTrayCompanion();

    EXPECT_EQ(calls.finds, 20);
    EXPECT_EQ(calls.posts, std::vector<UINT>(20, WM_USER + 2));
    EXPECT_EQ(calls.waits, Repeated(5000, 21));
    EXPECT_THAT(calls.sleeps, IsEmpty());
    EXPECT_FALSE(FileExists(trayExe_));
    EXPECT_FALSE(runValue_.Exists());
}

TEST_F(StopTrayCompanionTest, NoRunValuePausesOnceAndDeletesNothing) {
    StopTrayCompanion();

    EXPECT_THAT(calls.sleeps, ElementsAre(1000u));
    EXPECT_THAT(calls.deletes, IsEmpty());
    EXPECT_FALSE(runValue_.Exists());
}

TEST_F(StopTrayCompanionTest, EmptyRunValueIsRemovedWithoutADeletion) {
    runValue_.Set(L"");

    StopTrayCompanion();

    EXPECT_THAT(calls.sleeps, IsEmpty());
    EXPECT_THAT(calls.deletes, IsEmpty());
    EXPECT_FALSE(runValue_.Exists());
}

TEST_F(StopTrayCompanionTest, MissingFileCostsASingleTry) {
    runValue_.Set(trayExe_);

    StopTrayCompanion();

    EXPECT_THAT(calls.deletes, ElementsAre(trayExe_));
    EXPECT_THAT(calls.sleeps, IsEmpty());
    EXPECT_FALSE(runValue_.Exists());
}

TEST_F(StopTrayCompanionTest, MutexThatCannotBeCreatedSkipsTheFileButRemovesTheValue) {
    // An event of the same name keeps CreateMutexA from creating or opening it.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, kTrayMutexName);
    ASSERT_NE(event, nullptr);
    WriteFileBytes(trayExe_, "MZ");
    runValue_.Set(trayExe_);

    StopTrayCompanion();
    CloseHandle(event);

    EXPECT_EQ(calls.finds, 0);
    EXPECT_THAT(calls.sleeps, IsEmpty());
    EXPECT_THAT(calls.deletes, IsEmpty());
    EXPECT_TRUE(FileExists(trayExe_));
    EXPECT_FALSE(runValue_.Exists());
}

TEST_F(StopTrayCompanionTest, RunKeyThatDoesNotOpenEndsAfterTheStopAttempts) {
    MutexHolder holder;
    ScopedOverride refuse(advapi.RegOpenKeyExA, [](HKEY, LPCSTR, DWORD, REGSAM, PHKEY) -> LSTATUS {
        return ERROR_ACCESS_DENIED;
    });
    WriteFileBytes(trayExe_, "MZ");
    runValue_.Set(trayExe_);

    StopTrayCompanion();

    EXPECT_EQ(calls.finds, 20);
    EXPECT_THAT(calls.deletes, IsEmpty());
    EXPECT_TRUE(FileExists(trayExe_));
    EXPECT_TRUE(runValue_.Exists());
}

TEST_F(StopTrayCompanionTest, AccessDeniedIsTriedTenTimesAHundredMillisecondsApart) {
    WriteFileBytes(trayExe_, "MZ");
    SetFileAttributesW(trayExe_.c_str(), FILE_ATTRIBUTE_READONLY);
    runValue_.Set(trayExe_);

    StopTrayCompanion();

    EXPECT_EQ(calls.deletes, std::vector<std::wstring>(10, trayExe_));
    EXPECT_EQ(calls.sleeps, Repeated(100, 10));
    EXPECT_TRUE(FileExists(trayExe_));
    EXPECT_FALSE(runValue_.Exists());
}

TEST_F(StopTrayCompanionTest, OtherErrorsAreTriedTenTimesTenMillisecondsApart) {
    WriteFileBytes(trayExe_, "MZ");
    // Held open without FILE_SHARE_DELETE: a sharing violation, not a denial.
    HANDLE lock = CreateFileW(trayExe_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    runValue_.Set(trayExe_);

    StopTrayCompanion();
    CloseHandle(lock);

    EXPECT_EQ(calls.deletes.size(), 10u);
    EXPECT_EQ(calls.sleeps, Repeated(10, 10));
    EXPECT_TRUE(FileExists(trayExe_));
}

TEST_F(StopTrayCompanionTest, FileFreedDuringTheRetriesIsDeleted) {
    WriteFileBytes(trayExe_, "MZ");
    SetFileAttributesW(trayExe_.c_str(), FILE_ATTRIBUTE_READONLY);
    runValue_.Set(trayExe_);
    static std::wstring path;
    path = trayExe_;
    ScopedOverride release(kernel.Sleep, [](DWORD ms) {
        calls.sleeps.push_back(ms);
        if (calls.sleeps.size() == 3) {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        }
    });

    StopTrayCompanion();

    EXPECT_EQ(calls.deletes.size(), 4u);
    EXPECT_EQ(calls.sleeps, Repeated(100, 3));
    EXPECT_FALSE(FileExists(trayExe_));
}

TEST_F(StopTrayCompanionTest, ValueOfMaxPathCharactersWithoutTerminatorStaysInTheBuffer) {
    std::wstring longPath = dir_ + L"\\" + std::wstring(MAX_PATH - dir_.size() - 1, L'x');
    ASSERT_EQ(longPath.size(), static_cast<size_t>(MAX_PATH));
    // REG_BINARY keeps the registry from adding the terminator that REG_SZ
    // data sometimes gets; the value's type is not looked at.
    runValue_.SetRaw(REG_BINARY, longPath.data(), longPath.size() * sizeof(wchar_t));

    StopTrayCompanion();

    EXPECT_THAT(calls.deletes, ElementsAre(longPath));
    EXPECT_FALSE(runValue_.Exists());
}

TEST_F(StopTrayCompanionTest, ValueLongerThanMaxPathIsNotReadAndCostsAPause) {
    std::wstring tooLong = dir_ + L"\\" + std::wstring(MAX_PATH, L'x');
    runValue_.Set(tooLong);

    StopTrayCompanion();

    EXPECT_THAT(calls.sleeps, ElementsAre(1000u));
    EXPECT_THAT(calls.deletes, IsEmpty());
    EXPECT_FALSE(runValue_.Exists());
}

// ---- RegisterTrayCompanion -------------------------------------------------

struct StartRecord {
    // Only the tests with the real tray program start a process.
    bool passThrough;
    int starts;
    bool applicationNameNull;
    std::wstring commandLine;
    bool inherit;
    DWORD flags;
    bool environmentNull;
    bool directoryNull;
    bool attributesNull;
    STARTUPINFOW startup;
};
StartRecord started;
// How the tray program was started: "token", "child" (of the shell), "own" token.
std::wstring ways;

BOOL WINAPI RecordStart(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES process,
                        LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                        LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
    ++started.starts;
    started.applicationNameNull = application == nullptr;
    started.commandLine = commandLine;
    started.attributesNull = process == nullptr && thread == nullptr;
    started.inherit = inherit != FALSE;
    started.flags = flags;
    started.environmentNull = environment == nullptr;
    started.directoryNull = directory == nullptr;
    started.startup = *startup;
    ways += flags & EXTENDED_STARTUPINFO_PRESENT ? L"child " : L"own ";
    if (!started.passThrough) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    return ::CreateProcessW(application, commandLine, process, thread, inherit, flags, environment,
                            directory, startup, info);
}

class RegisterTrayCompanionTest : public testing::Test {
protected:
    void SetUp() override {
        started = StartRecord{};
        dir_ = MakeTempDir(L"tray-register");
    }
    void TearDown() override {
        EndTrayPrograms();
        RemoveTree(dir_);
    }

    // Registers with `sourceDir` and returns the Run value's text, "(none)"
    // when there is none.
    std::wstring RegisterFrom(const std::wstring& sourceDir) {
        InstallRun run = EmptyRun();
        AssignCountedString(run.sourceDir, sourceDir.c_str());
        RegisterTrayCompanion(run);
        log_ = LogOf(run);
        FreeCountedString(run.sourceDir);
        FreeCountedString(run.logText);
        if (!runValue_.Exists()) {
            return L"(none)";
        }
        std::wstring raw = runValue_.Raw();
        EXPECT_FALSE(raw.empty());
        EXPECT_EQ(raw.back(), L'\0');
        return raw.substr(0, raw.size() - 1);
    }

    RunValue runValue_;
    std::wstring dir_;
    std::wstring log_;
    ScopedOverride<decltype(kernel.CreateProcessW)> start_{kernel.CreateProcessW, &RecordStart};
};

TEST_F(RegisterTrayCompanionTest, LooksForTheTrayProgramInTheParentOfTheInstallersFolder) {
    struct Case {
        const wchar_t* sourceDir;
        const wchar_t* trayPath;
    };
    const Case cases[] = {
        {L"C:\\Tools\\Printer\\Setup\\", L"C:\\Tools\\Printer\\zantray.exe"},
        {L"C:\\Tools\\Printer\\Setup", L"C:\\Tools\\Printer\\zantray.exe"},
        {L"C:\\Setup\\", L"C:\\zantray.exe"},
        {L"C:\\", L"zantray.exe"},
        {L"", L"zantray.exe"},
        {L"C:\\Tools/Printer/Setup/", L"C:\\zantray.exe"},
        {L"C:/Tools/Setup/", L"C:/Tools\\zantray.exe"},
        {L"\\\\server\\share\\Setup\\", L"\\\\server\\share\\zantray.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "sourceDir " << std::wstring(c.sourceDir).c_str());
        started = StartRecord{};
        runValue_.Remove();
        EXPECT_EQ(RegisterFrom(c.sourceDir), c.trayPath);
        EXPECT_EQ(started.starts, 1);
        EXPECT_EQ(started.commandLine, std::wstring(L"\"") + c.trayPath + L"\"");
    }
}

TEST_F(RegisterTrayCompanionTest, StartsTheProgramVisibleWithTheInstallersEnvironment) {
    RegisterFrom(dir_ + L"\\Setup\\");

    ASSERT_EQ(started.starts, 1);
    EXPECT_TRUE(started.applicationNameNull);
    EXPECT_TRUE(started.attributesNull);
    EXPECT_FALSE(started.inherit);
    EXPECT_EQ(started.flags, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    EXPECT_TRUE(started.environmentNull);
    EXPECT_TRUE(started.directoryNull);
    EXPECT_EQ(started.startup.cb, sizeof(STARTUPINFOW));
    EXPECT_EQ(started.startup.dwFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
    EXPECT_EQ(started.startup.wShowWindow, SW_SHOW);
    EXPECT_EQ(started.startup.lpDesktop, nullptr);
    EXPECT_EQ(started.startup.hStdOutput, nullptr);
}

TEST_F(RegisterTrayCompanionTest, CommandLineCutsALongPathToMaxPathMinusOne) {
    std::wstring sourceDir = L"C:\\" + std::wstring(300, L'd') + L"\\Setup\\";
    std::wstring trayPath = L"C:\\" + std::wstring(300, L'd') + L"\\zantray.exe";

    EXPECT_EQ(RegisterFrom(sourceDir), trayPath);
    EXPECT_EQ(started.commandLine, L"\"" + trayPath.substr(0, 259) + L"\"");
}

TEST_F(RegisterTrayCompanionTest, RunKeyThatDoesNotOpenStillStartsTheProgram) {
    ScopedOverride refuse(advapi.RegOpenKeyExA, [](HKEY, LPCSTR, DWORD, REGSAM, PHKEY) -> LSTATUS {
        return ERROR_ACCESS_DENIED;
    });

    EXPECT_EQ(RegisterFrom(L"C:\\Tools\\Setup\\"), L"(none)");
    EXPECT_EQ(started.starts, 1);
    EXPECT_EQ(started.commandLine, L"\"C:\\Tools\\zantray.exe\"");
}

struct VersionCase {
    DWORD platform;
    DWORD major;
    bool registers;
};

class RegisterOnVersion : public RegisterTrayCompanionTest,
                          public testing::WithParamInterface<VersionCase> {};

TEST_P(RegisterOnVersion, OnlyNtSixAndLaterGetTheTrayProgram) {
    static VersionCase version;
    version = GetParam();
    ScopedOverride fake(kernel.GetVersionExA, [](LPOSVERSIONINFOA info) -> BOOL {
        EXPECT_EQ(info->dwOSVersionInfoSize, 148u);
        info->dwPlatformId = version.platform;
        info->dwMajorVersion = version.major;
        return TRUE;
    });

    std::wstring value = RegisterFrom(L"C:\\Tools\\Setup\\");

    EXPECT_EQ(value, version.registers ? L"C:\\Tools\\zantray.exe" : L"(none)");
    EXPECT_EQ(started.starts, version.registers ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Versions, RegisterOnVersion,
                         testing::Values(VersionCase{VER_PLATFORM_WIN32_NT, 5, false},
                                         VersionCase{VER_PLATFORM_WIN32_NT, 6, true},
                                         VersionCase{VER_PLATFORM_WIN32_NT, 10, true},
                                         VersionCase{VER_PLATFORM_WIN32_WINDOWS, 6, false}));

TEST_F(RegisterTrayCompanionTest, FailedVersionQueryRegistersNothing) {
    ScopedOverride fail(kernel.GetVersionExA, [](LPOSVERSIONINFOA) -> BOOL { return FALSE; });

    EXPECT_EQ(RegisterFrom(L"C:\\Tools\\Setup\\"), L"(none)");
    EXPECT_EQ(started.starts, 0);
}

// Which allocation of the path fails: the nth of HeapAlloc or of HeapReAlloc.
struct HeapFailure {
    int allocs;
    int reallocs;
    int failAlloc;
    int failRealloc;
};
HeapFailure heapFailure;

LPVOID WINAPI FailingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    return ++heapFailure.allocs == heapFailure.failAlloc ? nullptr
                                                         : ::HeapAlloc(heap, flags, bytes);
}

LPVOID WINAPI FailingHeapReAlloc(HANDLE heap, DWORD flags, LPVOID p, SIZE_T bytes) {
    return ++heapFailure.reallocs == heapFailure.failRealloc ? nullptr
                                                             : ::HeapReAlloc(heap, flags, p, bytes);
}

// Without memory the path may come out wrong; a folder, which the Run key
// would open at every logon, must not be registered or started.
TEST_F(RegisterTrayCompanionTest, LackOfMemoryNeverRegistersAFolderAndLeaksNothing) {
    InstallRun run = EmptyRun();
    // Long enough that appending the name grows the block.
    AssignCountedString(run.sourceDir, L"C:\\Program Files\\Zantorelle\\Setup\\");
    heapFailure = HeapFailure{};
    {
        ScopedOverride alloc(kernel.HeapAlloc, &FailingHeapAlloc);
        ScopedOverride realloc(kernel.HeapReAlloc, &FailingHeapReAlloc);
        AllocationCounter heap;
        RegisterTrayCompanion(run);
        // The run's own log, which says the refused start leaves the program to the Run value.
        FreeCountedString(run.logText);
        EXPECT_EQ(heap.HeapBlocks(), 0);
    }
    EXPECT_EQ(started.starts, 1);
    const HeapFailure total = heapFailure;
    ASSERT_GT(total.allocs, 0);
    ASSERT_GT(total.reallocs, 0);
    int unregistered = 0;
    for (int i = 1; i <= total.allocs + total.reallocs; ++i) {
        SCOPED_TRACE(i);
        heapFailure = HeapFailure{};
        (i <= total.allocs ? heapFailure.failAlloc : heapFailure.failRealloc) =
            i <= total.allocs ? i : i - total.allocs;
        started = StartRecord{};
        runValue_.Remove();
        std::wstring value;
        {
            ScopedOverride alloc(kernel.HeapAlloc, &FailingHeapAlloc);
            ScopedOverride realloc(kernel.HeapReAlloc, &FailingHeapReAlloc);
            AllocationCounter heap;
            value = RegisterFrom(L"C:\\Program Files\\Zantorelle\\Setup\\");
            EXPECT_EQ(heap.HeapBlocks(), 0);
        }
        if (value == L"(none)") {
            ++unregistered;
            EXPECT_EQ(started.starts, 0);
        } else {
            EXPECT_THAT(value, testing::EndsWith(L"zantray.exe"));
            EXPECT_EQ(started.commandLine, L"\"" + value + L"\"");
        }
    }
    EXPECT_GT(unregistered, 0);
    FreeCountedString(run.sourceDir);
}

TEST_F(RegisterTrayCompanionTest, StartsTheTrayProgramAndStopTakesItAllAwayAgain) {
    ASSERT_TRUE(CopyFileW(StandInTray().c_str(), (dir_ + L"\\zantray.exe").c_str(), FALSE))
        << "stand-in tray program from `ctest -R stage`";
    CreateDirectoryW((dir_ + L"\\Setup").c_str(), nullptr);
    started.passThrough = true;

    EXPECT_EQ(RegisterFrom(dir_ + L"\\Setup\\"), dir_ + L"\\zantray.exe");
    ASSERT_TRUE(WaitForTrayWindow());
    EXPECT_TRUE(TrayMutexExists());

    StopTrayCompanion();

    EXPECT_FALSE(TrayMutexExists());
    EXPECT_FALSE(runValue_.Exists());
    EXPECT_FALSE(FileExists(dir_ + L"\\zantray.exe"));
}

// A reinstall stops the tray program before it registers it again; when the
// old Run value names the same file, that file is gone and the start fails.
TEST_F(RegisterTrayCompanionTest, ReinstallOverTheSameFileLeavesTheValueAndNoProgram) {
    std::wstring trayExe = dir_ + L"\\zantray.exe";
    TrayProgram program;
    ASSERT_TRUE(program.Start(trayExe)) << "stand-in tray program from `ctest -R stage`";
    runValue_.Set(trayExe);
    started.passThrough = true;

    StopTrayCompanion();
    EXPECT_TRUE(program.HasEnded(5000));
    EXPECT_EQ(RegisterFrom(dir_ + L"\\Setup\\"), trayExe);

    EXPECT_EQ(started.starts, 1);
    EXPECT_FALSE(FileExists(trayExe));
    EXPECT_EQ(FindTrayWindow(), nullptr);
}

// ---- the start as the signed-in user -----------------------------------------

StartRecord tokenStarted;

BOOL WINAPI RecordTokenStart(HANDLE token, DWORD logonFlags, LPCWSTR application,
                             LPWSTR commandLine, DWORD flags, LPVOID environment, LPCWSTR directory,
                             LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
    EXPECT_NE(token, nullptr);
    EXPECT_EQ(logonFlags, 0u);
    tokenStarted.starts++;
    tokenStarted.commandLine = commandLine;
    tokenStarted.flags = flags;
    tokenStarted.startup = *startup;
    ways += L"token ";
    if (!tokenStarted.passThrough) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    return ::CreateProcessWithTokenW(token, logonFlags, application, commandLine, flags,
                                     environment, directory, startup, info);
}

constexpr wchar_t kLeftToLogon[] =
    L"The tray program is not started now; the Run value starts it at the next logon\r\n";

// The parent of the running tray program, from the process list.
DWORD TrayParent() {
    DWORD pid = 0;
    GetWindowThreadProcessId(FindTrayWindow(), &pid);
    UniqueFile list(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(list.Get(), &entry); more && entry.th32ProcessID != pid;
         more = Process32NextW(list.Get(), &entry)) {
    }
    return entry.th32ProcessID == pid ? entry.th32ParentProcessID : 0;
}

// The session of "CONTOSO\alice", and a lookup where "alice" alone names a
// local account, the installer's own; CONTOSO's alice is the installer's
// account only when `domainUserIsOwn`.
struct Namesake {
    static inline bool domainUserIsOwn;

    static BOOL WINAPI Session(HANDLE, DWORD, WTS_INFO_CLASS what, LPWSTR* text, DWORD* bytes) {
        static wchar_t user[] = L"alice";
        static wchar_t domain[] = L"CONTOSO";
        *text = what == WTSUserName ? user : domain;
        *bytes = static_cast<DWORD>((lstrlenW(*text) + 1) * sizeof(wchar_t));
        return TRUE;
    }
    static BOOL WINAPI Lookup(LPCWSTR, LPCWSTR account, PSID sid, LPDWORD sidBytes, LPWSTR domain,
                              LPDWORD domainChars, PSID_NAME_USE use) {
        std::wstring name = account;
        PSID other = nullptr;
        ConvertStringSidToSidW(L"S-1-5-21-7-8-9-1104", &other);
        alignas(TOKEN_USER) BYTE own[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD bytes = 0;
        HANDLE token = nullptr;
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
        GetTokenInformation(token, TokenUser, own, sizeof(own), &bytes);
        CloseHandle(token);
        PSID found = name == L"alice" || (name == L"CONTOSO\\alice" && domainUserIsOwn)
                         ? reinterpret_cast<TOKEN_USER*>(own)->User.Sid
                     : name == L"CONTOSO\\alice" ? other
                                                 : nullptr;
        BOOL copied = found && CopySid(*sidBytes, sid, found);
        LocalFree(other);
        lstrcpynW(domain, L"CONTOSO", *domainChars);
        *use = SidTypeUser;
        return copied;
    }
};

// Wine has no shell window; its desktop window belongs to explorer.exe, another
// process, as the shell window would, and its token calls and a start as that
// process's child work for real.
TEST_F(RegisterTrayCompanionTest, StartsOnlyAsTheSignedInUserElseLeavesItToTheNextLogon) {
    ASSERT_TRUE(CopyFileW(StandInTray().c_str(), (dir_ + L"\\zantray.exe").c_str(), FALSE));
    ScopedOverride tokenStarts(advapi.CreateProcessWithTokenW, &RecordTokenStart);
    ScopedOverride shell(user.GetShellWindow, &GetDesktopWindow);
    DWORD shellPid = 0;
    GetWindowThreadProcessId(GetDesktopWindow(), &shellPid);
    tokenStarted.passThrough = started.passThrough = true;
    // The ways the tray program was started, whether it runs and whose child, and the log.
    auto start = [&] {
        ways.clear();
        tokenStarted.starts = started.starts = 0;
        RegisterFrom(dir_ + L"\\Setup\\");
        bool running = !ways.empty() && WaitForTrayWindow();
        bool underShell = running && TrayParent() == shellPid;
        EndTrayPrograms();
        for (const StartRecord* way : {&tokenStarted, &started}) {
            if (way->starts) {
                EXPECT_EQ(way->commandLine, L"\"" + dir_ + L"\\zantray.exe\"");
                EXPECT_EQ(way->startup.wShowWindow, SW_SHOW);
            }
        }
        return ways + (running ? L"running" : L"") + (underShell ? L" under the shell" : L"") +
               log_;
    };

    EXPECT_EQ(start(), L"token running");
    {
        ScopedOverride none(user.GetShellWindow, []() -> HWND { return nullptr; });
        EXPECT_EQ(start(), L"own running");
    }
    {
        ScopedOverride refuse(advapi.DuplicateTokenEx,
                              [](HANDLE, DWORD, LPSECURITY_ATTRIBUTES, SECURITY_IMPERSONATION_LEVEL,
                                 TOKEN_TYPE, PHANDLE) -> BOOL { return FALSE; });
        EXPECT_EQ(start(), L"own running");
    }
    // Secondary Logon disabled: the shell's process is the parent.
    tokenStarted.passThrough = false;
    EXPECT_EQ(start(), L"token child running under the shell");
    EXPECT_EQ(started.flags, static_cast<DWORD>(NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT |
                                                EXTENDED_STARTUPINFO_PRESENT));
    EXPECT_EQ(started.startup.cb, sizeof(STARTUPINFOEXW));
    // Every way refused: the program is left to the next logon, and the log says so.
    started.passThrough = false;
    EXPECT_EQ(start(), L"token child own " + std::wstring(kLeftToLogon));
    started.passThrough = true;
    // The installer's own token only when its user is the session's, as
    // Wine's one user always is: not as SYSTEM.
    ScopedOverride none(user.GetShellWindow, []() -> HWND { return nullptr; });
    {
        ScopedOverride system(advapi.GetTokenInformation, [](HANDLE, TOKEN_INFORMATION_CLASS,
                                                             LPVOID info, DWORD bytes, PDWORD) {
            auto* user = static_cast<TOKEN_USER*>(info);
            user->User.Sid = user + 1;
            bytes -= sizeof(*user);
            return CreateWellKnownSid(WinLocalSystemSid, nullptr, user->User.Sid, &bytes);
        });
        EXPECT_EQ(start(), kLeftToLogon);
    }
    {
        ScopedOverride session(wtsapi.WTSQuerySessionInformationW, &Namesake::Session);
        ScopedOverride kept(wtsapi.WTSFreeMemory, [](PVOID) {});
        ScopedOverride lookup(advapi.LookupAccountNameW, &Namesake::Lookup);
        Namesake::domainUserIsOwn = true;
        EXPECT_EQ(start(), L"own running");
        // A local account of the signed-in user's name is another user.
        Namesake::domainUserIsOwn = false;
        EXPECT_EQ(start(), kLeftToLogon);
    }
    {
        ScopedOverride silent(wtsapi.WTSQuerySessionInformationW,
                              [](HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*) { return FALSE; });
        EXPECT_EQ(start(), kLeftToLogon);
    }
    ScopedOverride sessionZero(kernel.ProcessIdToSessionId, [](DWORD, DWORD* id) -> BOOL {
        *id = 0;
        return TRUE;
    });
    EXPECT_EQ(start(), kLeftToLogon);
    EXPECT_TRUE(runValue_.Exists());
    // Without the Run value nothing starts the program later, and nothing says so.
    ScopedOverride noKey(advapi.RegOpenKeyExA, [](HKEY, LPCSTR, DWORD, REGSAM, PHKEY) {
        return LSTATUS{ERROR_ACCESS_DENIED};
    });
    EXPECT_EQ(start(), L"");
}

}  // namespace
