#include <gmock/gmock.h>

#include <string>

#include "core/counted_string.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "files/file_copy.h"
#include "support/scoped_override.h"
#include "support/test_support.h"

namespace {

constexpr wchar_t kName[] = L"zrlmon64.dll";

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

// Bytes that differ from one position to the next, so that a misplaced or
// repeated chunk shows.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 251) % 256);
    }
    return bytes;
}

// Holds a file open without sharing, as another process would.
class Lock {
public:
    explicit Lock(const std::wstring& path)
        : file_(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0,
                            nullptr)) {}
    ~Lock() { Release(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    bool Held() const { return file_ != INVALID_HANDLE_VALUE; }
    void Release() {
        if (Held()) {
            CloseHandle(file_);
            file_ = INVALID_HANDLE_VALUE;
        }
    }

private:
    HANDLE file_;
};

// State of the replaced kernel entries; the lambdas reach it through statics.
struct Calls {
    int sleeps = 0;
    int ticks = 0;
    int reads = 0;
    int writes = 0;
    DWORD tickStart = 0;
    DWORD tickStep = 0;
    Lock* releaseOnSleep = nullptr;
    int releaseAfterSleeps = 0;
};
Calls calls;

VOID WINAPI CountSleepWithoutWaiting(DWORD) {
    ++calls.sleeps;
    if (calls.releaseOnSleep && calls.sleeps == calls.releaseAfterSleeps) {
        calls.releaseOnSleep->Release();
    }
}

// The first call gives tickStart, each further call tickStep more.
DWORD WINAPI SteppingTicks() {
    return calls.tickStart + calls.tickStep * static_cast<DWORD>(calls.ticks++);
}

class FileCopy : public testing::Test {
protected:
    FileCopy() {
        calls = Calls();
        dir_ = MakeTempDir(L"file-copy");
        sourceDir_ = dir_ + L"\\source";
        targetDir_ = dir_ + L"\\target";
        CreateDirectoryW(sourceDir_.c_str(), nullptr);
        CreateDirectoryW(targetDir_.c_str(), nullptr);
        run_ = EmptyRun();
        AssignCountedString(run_.sourceDir, (sourceDir_ + L"\\").c_str());
        for (wchar_t& c : out_) {
            c = L'#';
        }
    }
    ~FileCopy() override {
        FreeCountedString(run_.sourceDir);
        FreeCountedString(run_.logText);
        EXPECT_EQ(memory_.GlobalBlocks(), 0);
        EXPECT_EQ(memory_.HeapBlocks(), 0);
        RemoveTree(dir_);
    }

    std::wstring Source() const { return sourceDir_ + L"\\" + kName; }
    std::wstring Target() const { return targetDir_ + L"\\" + kName; }
    std::wstring TargetDirArg() const { return targetDir_ + L"\\"; }

    HRESULT Copy(const std::wstring& targetDir, BYTE report) {
        SetLastError(kPoison);
        return CopyProductFile(run_, targetDir.c_str(), kName, out_, report);
    }
    std::wstring Header(const std::wstring& targetDir, int report) const {
        return L">CopyFile " + std::wstring(kName) + L" to " + targetDir + L" [" +
               std::to_wstring(report) + L"])\r\n";
    }

    AllocationCounter memory_;
    std::wstring dir_;
    std::wstring sourceDir_;
    std::wstring targetDir_;
    InstallRun run_;
    wchar_t out_[kPathBufferChars + 8];
};

TEST_F(FileCopy, EmptySourceGivesAnEmptyDestination) {
    WriteFileBytes(Source(), "");

    EXPECT_EQ(Copy(TargetDirArg(), 1), S_OK);

    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 1) + L"  Copy Succeeded :)\r\n");
    EXPECT_EQ(run_.errorCount, 0);
    EXPECT_EQ(run_.logDepth, 0);
    EXPECT_TRUE(FileExists(Target()));
    EXPECT_EQ(ReadFileBytes(Target()), "");
    EXPECT_EQ(std::wstring(out_), Target());
}

TEST_F(FileCopy, ExactlyOneBufferIsReadTwice) {
    std::string content = Pattern(8192);
    WriteFileBytes(Source(), content);
    ScopedOverride countReads(kernel.ReadFile,
                              [](HANDLE f, LPVOID b, DWORD n, LPDWORD r, LPOVERLAPPED o) -> BOOL {
                                  ++calls.reads;
                                  EXPECT_EQ(n, 8192u);
                                  return ::ReadFile(f, b, n, r, o);
                              });
    ScopedOverride countWrites(kernel.WriteFile,
                               [](HANDLE f, LPCVOID b, DWORD n, LPDWORD w, LPOVERLAPPED o) -> BOOL {
                                   ++calls.writes;
                                   return ::WriteFile(f, b, n, w, o);
                               });

    EXPECT_EQ(Copy(TargetDirArg(), 1), S_OK);

    EXPECT_EQ(calls.reads, 2);
    EXPECT_EQ(calls.writes, 1);
    EXPECT_EQ(ReadFileBytes(Target()), content);
    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 1) + L"  Copy Succeeded :)\r\n");
}

TEST_F(FileCopy, OneByteMoreThanABufferArrivesWhole) {
    std::string content = Pattern(8193);
    WriteFileBytes(Source(), content);

    EXPECT_EQ(Copy(TargetDirArg(), 0), S_OK);

    EXPECT_EQ(ReadFileBytes(Target()), content);
    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 0) + L"  Copy Succeeded :)\r\n");
}

TEST_F(FileCopy, ManyBuffersArriveInOrderAndReplaceAnOlderFile) {
    std::string content = Pattern(3 * 8192 + 100);
    WriteFileBytes(Source(), content);
    WriteFileBytes(Target(), Pattern(5 * 8192));

    EXPECT_EQ(Copy(TargetDirArg(), 1), S_OK);

    EXPECT_EQ(ReadFileBytes(Target()), content);
}

TEST_F(FileCopy, LinesAreWrittenAtTheCallersDepth) {
    WriteFileBytes(Source(), "x");
    run_.logDepth = 2;

    EXPECT_EQ(Copy(TargetDirArg(), 1), S_OK);

    EXPECT_EQ(LogOf(run_), L"    " + Header(TargetDirArg(), 1) + L"      Copy Succeeded :)\r\n");
    EXPECT_EQ(run_.logDepth, 2);
}

TEST_F(FileCopy, SourceDirectoryWithoutSeparatorGetsOne) {
    WriteFileBytes(Source(), "abc");
    AssignCountedString(run_.sourceDir, sourceDir_.c_str());

    EXPECT_EQ(Copy(TargetDirArg(), 1), S_OK);

    EXPECT_EQ(ReadFileBytes(Target()), "abc");
}

TEST_F(FileCopy, NoSourceDirectoryReadsTheBareNameFromTheCurrentFolder) {
    WriteFileBytes(Source(), "here");
    AssignCountedString(run_.sourceDir, nullptr);
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(sourceDir_.c_str());

    HRESULT result = Copy(TargetDirArg(), 1);
    SetCurrentDirectoryW(previous);

    EXPECT_EQ(result, S_OK);
    EXPECT_EQ(ReadFileBytes(Target()), "here");
}

// A folder the run could not resolve (no system or driver directory) is
// no licence to write the component into the current folder.
TEST_F(FileCopy, NoTargetDirectoryWritesNothingIntoTheCurrentFolder) {
    WriteFileBytes(Source(), "abc");
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(targetDir_.c_str());

    HRESULT result = Copy(L"", 1);
    SetCurrentDirectoryW(previous);

    EXPECT_EQ(result, E_FAIL);
    EXPECT_FALSE(FileExists(Target()));
    EXPECT_EQ(LogOf(run_), Header(L"", 1) + L"  Error(9): Cant't open destination file: " + kName +
                               ErrorSuffix(ERROR_PATH_NOT_FOUND) + L"\r\n  Copy Failed :(\r\n");
}

TEST_F(FileCopy, TargetDirectoryWithoutSeparatorGetsOne) {
    WriteFileBytes(Source(), "abc");

    EXPECT_EQ(Copy(targetDir_, 1), S_OK);

    EXPECT_EQ(std::wstring(out_), Target());
    EXPECT_EQ(ReadFileBytes(Target()), "abc");
    EXPECT_EQ(LogOf(run_), Header(targetDir_, 1) + L"  Copy Succeeded :)\r\n");
}

TEST_F(FileCopy, TargetDirectoryEndingInSlashStillGetsABackslash) {
    WriteFileBytes(Source(), "abc");

    EXPECT_EQ(Copy(targetDir_ + L"/", 1), S_OK);

    EXPECT_EQ(std::wstring(out_), targetDir_ + L"/\\" + kName);
    EXPECT_EQ(ReadFileBytes(Target()), "abc");
    EXPECT_EQ(LogOf(run_), Header(targetDir_ + L"/", 1) + L"  Copy Succeeded :)\r\n");
}

TEST_F(FileCopy, MissingSourceWithoutReportIsNoError) {
    EXPECT_EQ(Copy(TargetDirArg(), 0), E_FAIL);

    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 0) + L"  Copy Failed :(\r\n");
    EXPECT_EQ(run_.errorCount, 0);
    EXPECT_FALSE(FileExists(Target()));
    EXPECT_EQ(std::wstring(out_), Target());
}

TEST_F(FileCopy, MissingSourceWithReportNamesTheBareFile) {
    EXPECT_EQ(Copy(TargetDirArg(), 1), E_FAIL);

    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 1) +
                               L"  Error(10): Cant't open source file: zrlmon64.dll" +
                               ErrorSuffix(ERROR_FILE_NOT_FOUND) + L"\r\n  Copy Failed :(\r\n");
    EXPECT_EQ(run_.errorCount, 1);
    EXPECT_FALSE(FileExists(Target()));
    EXPECT_EQ(std::wstring(out_), Target());
}

TEST_F(FileCopy, SourceHeldOpenForWritingDoesNotOpen) {
    WriteFileBytes(Source(), "abc");
    HANDLE writer = CreateFileW(Source().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);

    HRESULT result = Copy(TargetDirArg(), 1);
    CloseHandle(writer);

    EXPECT_EQ(result, E_FAIL);
    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 1) +
                               L"  Error(10): Cant't open source file: zrlmon64.dll" +
                               ErrorSuffix(ERROR_SHARING_VIOLATION) + L"\r\n  Copy Failed :(\r\n");
}

TEST_F(FileCopy, PathsThatCannotBeAllocatedCountAsAMissingSource) {
    WriteFileBytes(Source(), "abc");
    ScopedOverride noMemory(kernel.GlobalAlloc, [](UINT, SIZE_T) -> HGLOBAL {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    });

    EXPECT_EQ(Copy(TargetDirArg(), 1), E_FAIL);

    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 1) +
                               L"  Error(10): Cant't open source file: zrlmon64.dll" +
                               ErrorSuffix(ERROR_NOT_ENOUGH_MEMORY) + L"\r\n  Copy Failed :(\r\n");
    EXPECT_FALSE(FileExists(Target()));
    EXPECT_EQ(std::wstring(out_), Target());
}

TEST_F(FileCopy, PathBlocksAreSizedFromTheLengths) {
    WriteFileBytes(Source(), "abc");
    static SIZE_T sizes[4];
    static int blocks;
    blocks = 0;
    ScopedOverride record(kernel.GlobalAlloc, [](UINT flags, SIZE_T bytes) -> HGLOBAL {
        if (blocks < 4) {
            sizes[blocks++] = bytes;
        }
        return ::GlobalAlloc(flags, bytes);
    });
    ScopedOverride release(kernel.GlobalFree,
                           [](HGLOBAL block) -> HGLOBAL { return ::GlobalFree(block); });

    EXPECT_EQ(Copy(TargetDirArg(), 1), S_OK);

    ASSERT_EQ(blocks, 2);
    std::wstring sourceDir = sourceDir_ + L"\\";
    EXPECT_EQ(sizes[0], (sourceDir.size() + 12 + 3) * sizeof(wchar_t));
    EXPECT_EQ(sizes[1], (TargetDirArg().size() + 12 + 3) * sizeof(wchar_t));
}

TEST_F(FileCopy, LongTargetPathIsCutToTheOutBuffer) {
    WriteFileBytes(Source(), "abc");
    std::wstring longDir = targetDir_ + L"\\" + std::wstring(300, L'd');
    ScopedOverride noWait(kernel.Sleep, &CountSleepWithoutWaiting);

    EXPECT_EQ(Copy(longDir, 1), E_FAIL);

    std::wstring full = longDir + L"\\" + kName;
    EXPECT_EQ(std::wstring(out_), full.substr(0, kPathBufferChars - 1));
    EXPECT_EQ(out_[kPathBufferChars], L'#');
    EXPECT_THAT(LogOf(run_),
                testing::HasSubstr(L"Error(9): Cant't open destination file: " + full + L" - ("));
}

TEST_F(FileCopy, NoOutBufferIsFine) {
    WriteFileBytes(Source(), "abc");
    SetLastError(kPoison);

    EXPECT_EQ(CopyProductFile(run_, TargetDirArg().c_str(), kName, nullptr, 1), S_OK);

    EXPECT_EQ(ReadFileBytes(Target()), "abc");
}

TEST_F(FileCopy, DestinationLockedForTheWholeWaitFailsAfterAHundredTries) {
    WriteFileBytes(Source(), "abc");
    Lock lock(Target());
    ASSERT_TRUE(lock.Held());
    ScopedOverride countSleeps(kernel.Sleep, [](DWORD ms) {
        ++calls.sleeps;
        EXPECT_EQ(ms, 50u);
        ::Sleep(ms);
    });

    DWORD start = GetTickCount();
    HRESULT result = Copy(TargetDirArg(), 1);
    DWORD elapsed = GetTickCount() - start;

    EXPECT_EQ(result, E_FAIL);
    EXPECT_EQ(calls.sleeps, 100);
    // 100 pauses of 50 ms; the tick counter may lag by its granularity.
    EXPECT_GE(elapsed, 4950u);
    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 1) +
                               L"  Error(9): Cant't open destination file: " + Target() +
                               ErrorSuffix(ERROR_SHARING_VIOLATION) + L"\r\n  Copy Failed :(\r\n");
    EXPECT_EQ(run_.errorCount, 1);
    EXPECT_EQ(std::wstring(out_), Target());
    // The source was closed again: it opens without sharing.
    Lock source(Source());
    EXPECT_TRUE(source.Held());
}

TEST_F(FileCopy, LockedDestinationWithoutReportIsNoError) {
    WriteFileBytes(Source(), "abc");
    Lock lock(Target());
    ScopedOverride noWait(kernel.Sleep, &CountSleepWithoutWaiting);

    EXPECT_EQ(Copy(TargetDirArg(), 0), E_FAIL);

    EXPECT_EQ(calls.sleeps, 100);
    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 0) + L"  Copy Failed :(\r\n");
    EXPECT_EQ(run_.errorCount, 0);
}

TEST_F(FileCopy, DestinationFreedDuringTheRetriesIsCopied) {
    WriteFileBytes(Source(), "late");
    Lock lock(Target());
    calls.releaseOnSleep = &lock;
    calls.releaseAfterSleeps = 3;
    ScopedOverride noWait(kernel.Sleep, &CountSleepWithoutWaiting);

    EXPECT_EQ(Copy(TargetDirArg(), 1), S_OK);

    EXPECT_EQ(calls.sleeps, 3);
    EXPECT_EQ(ReadFileBytes(Target()), "late");
    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 1) + L"  Copy Succeeded :)\r\n");
}

TEST_F(FileCopy, SlowTriesEndAtTheTimeLimitWithALineOfTheirOwn) {
    WriteFileBytes(Source(), "abc");
    Lock lock(Target());
    calls.tickStart = 1000;
    calls.tickStep = 10001;
    ScopedOverride ticks(kernel.GetTickCount, &SteppingTicks);
    ScopedOverride noWait(kernel.Sleep, &CountSleepWithoutWaiting);

    EXPECT_EQ(Copy(TargetDirArg(), 1), E_FAIL);

    EXPECT_EQ(calls.sleeps, 0);
    EXPECT_EQ(calls.ticks, 2);
    // The timeout line keeps the last error of the failed open for error 9.
    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 1) + L"  CreateFile - timeout\r\n" +
                               L"  Error(9): Cant't open destination file: " + Target() +
                               ErrorSuffix(ERROR_SHARING_VIOLATION) + L"\r\n  Copy Failed :(\r\n");
    EXPECT_EQ(run_.errorCount, 1);
}

TEST_F(FileCopy, TimeoutWithoutReportLeavesOnlyPlainLines) {
    WriteFileBytes(Source(), "abc");
    Lock lock(Target());
    calls.tickStep = 20000;
    ScopedOverride ticks(kernel.GetTickCount, &SteppingTicks);
    ScopedOverride noWait(kernel.Sleep, &CountSleepWithoutWaiting);

    EXPECT_EQ(Copy(TargetDirArg(), 0), E_FAIL);

    EXPECT_EQ(LogOf(run_),
              Header(TargetDirArg(), 0) + L"  CreateFile - timeout\r\n" + L"  Copy Failed :(\r\n");
    EXPECT_EQ(run_.errorCount, 0);
}

TEST_F(FileCopy, BothLimitsApply) {
    WriteFileBytes(Source(), "abc");
    Lock lock(Target());
    // 200 ms per try: more than 10 000 ms after the 51st.
    calls.tickStep = 200;
    ScopedOverride ticks(kernel.GetTickCount, &SteppingTicks);
    ScopedOverride noWait(kernel.Sleep, &CountSleepWithoutWaiting);

    EXPECT_EQ(Copy(TargetDirArg(), 0), E_FAIL);

    EXPECT_EQ(calls.sleeps, 50);
    EXPECT_EQ(calls.ticks, 52);
    EXPECT_THAT(LogOf(run_), testing::HasSubstr(L"  CreateFile - timeout\r\n"));
}

TEST_F(FileCopy, ExactlyTheTimeLimitIsNotATimeout) {
    WriteFileBytes(Source(), "abc");
    Lock lock(Target());
    calls.tickStart = 500;
    ScopedOverride ticks(kernel.GetTickCount, []() -> DWORD {
        return calls.ticks++ == 0 ? calls.tickStart : calls.tickStart + 10000;
    });
    ScopedOverride noWait(kernel.Sleep, &CountSleepWithoutWaiting);

    EXPECT_EQ(Copy(TargetDirArg(), 0), E_FAIL);

    EXPECT_EQ(calls.sleeps, 100);
    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 0) + L"  Copy Failed :(\r\n");
}

TEST_F(FileCopy, TickCounterWrapIsNoTimeout) {
    WriteFileBytes(Source(), "abc");
    Lock lock(Target());
    calls.tickStart = 0xFFFFFFF0u;
    calls.tickStep = 0x20;
    ScopedOverride ticks(kernel.GetTickCount, []() -> DWORD {
        return calls.ticks++ == 0 ? calls.tickStart : calls.tickStart + calls.tickStep;
    });
    ScopedOverride noWait(kernel.Sleep, &CountSleepWithoutWaiting);

    EXPECT_EQ(Copy(TargetDirArg(), 0), E_FAIL);

    EXPECT_EQ(calls.sleeps, 100);
    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 0) + L"  Copy Failed :(\r\n");
}

TEST_F(FileCopy, FailedWriteIsErrorEightYetTheCopyCounts) {
    WriteFileBytes(Source(), "abc");
    ScopedOverride diskFull(kernel.WriteFile,
                            [](HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) -> BOOL {
                                ++calls.writes;
                                *written = 0;
                                SetLastError(ERROR_DISK_FULL);
                                return FALSE;
                            });

    EXPECT_EQ(Copy(TargetDirArg(), 0), S_OK);

    EXPECT_EQ(calls.writes, 1);
    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 0) + L"  Error(8): CopyFile(..," + Target() +
                               L")" + ErrorSuffix(ERROR_DISK_FULL) +
                               L"\r\n  Copy Succeeded :)\r\n");
    EXPECT_EQ(run_.errorCount, 1);
    // What was created stays.
    EXPECT_EQ(ReadFileBytes(Target()), "");
}

TEST_F(FileCopy, ShortWriteStopsTheCopyAndLeavesThePart) {
    std::string content = Pattern(3 * 8192);
    WriteFileBytes(Source(), content);
    ScopedOverride halfSecond(
        kernel.WriteFile,
        [](HANDLE f, LPCVOID b, DWORD n, LPDWORD written, LPOVERLAPPED o) -> BOOL {
            if (++calls.writes == 2) {
                n /= 2;
            }
            BOOL ok = ::WriteFile(f, b, n, written, o);
            SetLastError(ERROR_DISK_FULL);
            return ok;
        });

    EXPECT_EQ(Copy(TargetDirArg(), 1), S_OK);

    EXPECT_EQ(calls.writes, 2);
    EXPECT_EQ(ReadFileBytes(Target()), content.substr(0, 8192 + 4096));
    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 1) + L"  Error(8): CopyFile(..," + Target() +
                               L")" + ErrorSuffix(ERROR_DISK_FULL) +
                               L"\r\n  Copy Succeeded :)\r\n");
}

TEST_F(FileCopy, FailedReadEndsTheCopyQuietly) {
    std::string content = Pattern(2 * 8192);
    WriteFileBytes(Source(), content);
    ScopedOverride failSecond(kernel.ReadFile,
                              [](HANDLE f, LPVOID b, DWORD n, LPDWORD r, LPOVERLAPPED o) -> BOOL {
                                  if (++calls.reads == 2) {
                                      SetLastError(ERROR_READ_FAULT);
                                      return FALSE;
                                  }
                                  return ::ReadFile(f, b, n, r, o);
                              });

    EXPECT_EQ(Copy(TargetDirArg(), 1), S_OK);

    EXPECT_EQ(calls.reads, 2);
    EXPECT_EQ(ReadFileBytes(Target()), content.substr(0, 8192));
    EXPECT_EQ(LogOf(run_), Header(TargetDirArg(), 1) + L"  Copy Succeeded :)\r\n");
    EXPECT_EQ(run_.errorCount, 0);
}

TEST_F(FileCopy, DestinationIsSharedForReadingOnlyWhileWritten) {
    WriteFileBytes(Source(), "abc");
    static std::wstring target;
    static bool readable;
    static bool writable;
    target = Target();
    ScopedOverride probe(
        kernel.WriteFile, [](HANDLE f, LPCVOID b, DWORD n, LPDWORD w, LPOVERLAPPED o) -> BOOL {
            constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
            HANDLE reader = CreateFileW(target.c_str(), GENERIC_READ, kShareAll, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
            HANDLE writer = CreateFileW(target.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
            readable = reader != INVALID_HANDLE_VALUE;
            writable = writer != INVALID_HANDLE_VALUE;
            if (readable) {
                CloseHandle(reader);
            }
            if (writable) {
                CloseHandle(writer);
            }
            return ::WriteFile(f, b, n, w, o);
        });

    EXPECT_EQ(Copy(TargetDirArg(), 1), S_OK);

    EXPECT_TRUE(readable);
    EXPECT_FALSE(writable);
}

TEST(OpenDestinationWithRetry, CreatesAMissingFileAtTheFirstTry) {
    std::wstring dir = MakeTempDir(L"open-destination");
    std::wstring path = dir + L"\\new.bin";
    InstallRun run = EmptyRun();
    static int sleeps;
    sleeps = 0;
    ScopedOverride countSleeps(kernel.Sleep, [](DWORD) { ++sleeps; });

    HANDLE file = OpenDestinationWithRetry(run, path.c_str());

    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_EQ(sleeps, 0);
    EXPECT_TRUE(FileExists(path));
    EXPECT_EQ(LogOf(run), L"");
    RemoveTree(dir);
}

TEST(OpenDestinationWithRetry, GivingUpKeepsTheLastErrorOfTheLastTry) {
    std::wstring dir = MakeTempDir(L"open-destination");
    std::wstring path = dir + L"\\held.bin";
    InstallRun run = EmptyRun();
    {
        Lock lock(path);
        ASSERT_TRUE(lock.Held());
        calls = Calls();
        calls.tickStep = 10001;
        ScopedOverride ticks(kernel.GetTickCount, &SteppingTicks);
        // The timeout line takes heap memory for the log: make that touch the
        // last error, as any call may.
        ScopedOverride clearing(kernel.HeapAlloc, [](HANDLE heap, DWORD flags, SIZE_T bytes) {
            LPVOID block = ::HeapAlloc(heap, flags, bytes);
            SetLastError(ERROR_SUCCESS);
            return block;
        });

        SetLastError(kPoison);
        EXPECT_EQ(OpenDestinationWithRetry(run, path.c_str()), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    EXPECT_EQ(LogOf(run), L"CreateFile - timeout\r\n");
    EXPECT_EQ(run.errorCount, 0);
    FreeCountedString(run.logText);
    RemoveTree(dir);
}

}  // namespace
