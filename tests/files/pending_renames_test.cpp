#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "core/kernel_api.h"
#include "files/pending_renames.h"
#include "support/scoped_override.h"
#include "support/test_support.h"

using testing::ElementsAre;
using testing::IsEmpty;

namespace {

constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingValue[] = L"PendingFileRenameOperations";

// The system's pending operations as they were before the test, put back
// whatever the test does: the prefix is shared, and Wine carries out what is
// left there when its server restarts.
class PendingValue {
public:
    PendingValue() {
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_ALL_ACCESS, &key_);
        DWORD bytes = 0;
        existed_ = RegQueryValueExW(key_, kPendingValue, nullptr, &type_, nullptr, &bytes) ==
                   ERROR_SUCCESS;
        saved_.resize(bytes);
        if (existed_ && bytes) {
            RegQueryValueExW(key_, kPendingValue, nullptr, &type_, saved_.data(), &bytes);
        }
        RegDeleteValueW(key_, kPendingValue);
    }
    ~PendingValue() {
        RegDeleteValueW(key_, kPendingValue);
        if (existed_) {
            RegSetValueExW(key_, kPendingValue, 0, type_, saved_.data(),
                           static_cast<DWORD>(saved_.size()));
        }
        RegCloseKey(key_);
    }
    PendingValue(const PendingValue&) = delete;
    PendingValue& operator=(const PendingValue&) = delete;

    // The strings, each with its terminator, and the list terminator.
    void SetStrings(const std::vector<std::wstring>& strings) {
        std::wstring data;
        for (const std::wstring& s : strings) {
            data += s;
            data += L'\0';
        }
        data += L'\0';
        SetBytes(REG_MULTI_SZ, data.data(), data.size() * sizeof(wchar_t));
    }
    // Exactly these bytes: REG_BINARY keeps the registry from adding a
    // terminator, and the reader does not look at the type.
    void SetBytes(DWORD type, const void* data, size_t bytes) {
        ASSERT_EQ(RegSetValueExW(key_, kPendingValue, 0, type, static_cast<const BYTE*>(data),
                                 static_cast<DWORD>(bytes)),
                  ERROR_SUCCESS);
    }
    std::vector<BYTE> Bytes() const {
        DWORD bytes = 0;
        RegQueryValueExW(key_, kPendingValue, nullptr, nullptr, nullptr, &bytes);
        std::vector<BYTE> data(bytes);
        RegQueryValueExW(key_, kPendingValue, nullptr, nullptr, data.data(), &bytes);
        return data;
    }

private:
    HKEY key_ = nullptr;
    bool existed_ = false;
    DWORD type_ = 0;
    std::vector<BYTE> saved_;
};

// Releases the table whatever the test asserts.
struct TableGuard {
    PendingRenameTable& table;
    ~TableGuard() { ReleasePendingRenames(table); }
};

std::wstring NameAt(const PendingRenameTable& table, int i) {
    return table.names[i] ? table.names[i] : L"(none)";
}

std::vector<std::wstring> Names(const PendingRenameTable& table) {
    std::vector<std::wstring> names;
    for (int i = 0; i < 2 * table.count; ++i) {
        names.push_back(NameAt(table, i));
    }
    return names;
}

std::vector<INT32> Flags(const PendingRenameTable& table) {
    return std::vector<INT32>(table.flags, table.flags + 2 * table.count);
}

std::wstring Prefixed(const std::wstring& path) {
    return L"\\??\\" + path;
}

std::vector<std::wstring> deleted;

class PendingRenamesTest : public testing::Test {
protected:
    void SetUp() override {
        deleted.clear();
        dir_ = MakeTempDir(L"pending");
    }
    void TearDown() override { RemoveTree(dir_); }

    std::wstring File(const wchar_t* name) {
        std::wstring path = dir_ + L"\\" + name;
        WriteFileBytes(path, "x");
        return path;
    }

    PendingValue value_;
    std::wstring dir_;
    ScopedOverride<decltype(kernel.DeleteFileW)> deletes_{kernel.DeleteFileW,
                                                          [](LPCWSTR path) -> BOOL {
                                                              deleted.push_back(path);
                                                              return ::DeleteFileW(path);
                                                          }};
};

void ExpectEmpty(const PendingRenameTable& table) {
    EXPECT_EQ(table.count, 0);
    EXPECT_EQ(table.names, nullptr);
    EXPECT_EQ(table.flags, nullptr);
}

TEST_F(PendingRenamesTest, NoValueGivesAnEmptyTableAndTheFlushDoesNothing) {
    PendingRenameTable table = ReadPendingRenames();
    TableGuard guard{table};

    ExpectEmpty(table);
    FlushPendingDeletes(table);
    EXPECT_THAT(deleted, IsEmpty());
}

TEST_F(PendingRenamesTest, ValuesOfTwoBytesOrLessGiveAnEmptyTable) {
    const wchar_t terminator[] = L"";
    const char oneByte[] = "a";
    value_.SetStrings({});
    {
        PendingRenameTable table = ReadPendingRenames();
        TableGuard guard{table};
        ExpectEmpty(table);
    }
    value_.SetBytes(REG_BINARY, oneByte, 1);
    {
        PendingRenameTable table = ReadPendingRenames();
        TableGuard guard{table};
        ExpectEmpty(table);
    }
    value_.SetBytes(REG_BINARY, terminator, 0);
    {
        PendingRenameTable table = ReadPendingRenames();
        TableGuard guard{table};
        ExpectEmpty(table);
    }
}

TEST_F(PendingRenamesTest, PrefixedDeletionOfAnExistingFileIsCarriedOut) {
    std::wstring file = File(L"old.dll");
    value_.SetStrings({Prefixed(file), L""});

    PendingRenameTable table = ReadPendingRenames();
    TableGuard guard{table};

    ASSERT_EQ(table.count, 1);
    EXPECT_THAT(Names(table), ElementsAre(Prefixed(file), L"(none)"));
    EXPECT_THAT(Flags(table), ElementsAre(1, 0));

    FlushPendingDeletes(table);

    EXPECT_THAT(deleted, ElementsAre(file));
    EXPECT_FALSE(FileExists(file));
    EXPECT_THAT(Flags(table), ElementsAre(0, 0));
    EXPECT_EQ(NameAt(table, 0), Prefixed(file));
}

TEST_F(PendingRenamesTest, RenamesAreLeftToWindows) {
    std::wstring source = File(L"new.dll");
    std::wstring existingTarget = File(L"target.dll");
    std::wstring missingTarget = dir_ + L"\\nowhere.dll";
    std::wstring second = File(L"second.dll");
    value_.SetStrings({Prefixed(source), L"!" + Prefixed(existingTarget), Prefixed(second),
                       Prefixed(missingTarget)});

    PendingRenameTable table = ReadPendingRenames();
    TableGuard guard{table};
    ASSERT_EQ(table.count, 2);
    // "!" asks Windows to replace an existing target; the name is not a path.
    EXPECT_THAT(Flags(table), ElementsAre(1, 0, 1, 0));
    EXPECT_EQ(NameAt(table, 1), L"!" + Prefixed(existingTarget));

    FlushPendingDeletes(table);

    EXPECT_THAT(deleted, IsEmpty());
    EXPECT_TRUE(FileExists(source));
    EXPECT_TRUE(FileExists(second));
    EXPECT_THAT(Flags(table), ElementsAre(1, 0, 1, 0));
}

TEST_F(PendingRenamesTest, TargetThatExistsAsAFileIsFlagged) {
    std::wstring source = File(L"a.dll");
    std::wstring target = File(L"b.dll");
    value_.SetStrings({Prefixed(source), target});

    PendingRenameTable table = ReadPendingRenames();
    TableGuard guard{table};

    EXPECT_THAT(Flags(table), ElementsAre(1, 1));
    EXPECT_THAT(Names(table), ElementsAre(Prefixed(source), target));
}

TEST_F(PendingRenamesTest, DirectoriesAndMissingFilesAreNotFlaggedNorDeleted) {
    std::wstring folder = dir_ + L"\\zrlmon64.dll";
    CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring missing = dir_ + L"\\gone.dll";
    value_.SetStrings({Prefixed(folder), L"", Prefixed(missing), L""});

    PendingRenameTable table = ReadPendingRenames();
    TableGuard guard{table};
    ASSERT_EQ(table.count, 2);
    EXPECT_THAT(Flags(table), ElementsAre(0, 0, 0, 0));

    FlushPendingDeletes(table);

    EXPECT_THAT(deleted, IsEmpty());
    EXPECT_TRUE(FileExists(folder));
}

TEST_F(PendingRenamesTest, OnlyTheExactObjectManagerPrefixIsSkipped) {
    std::wstring file = File(L"plain.dll");
    std::wstring longForm = L"\\\\?\\" + File(L"long.dll");
    std::wstring lookalike = L"\\??" + file;  // no backslash after the question marks
    value_.SetStrings({file, L"", longForm, L"", lookalike, L""});

    PendingRenameTable table = ReadPendingRenames();
    TableGuard guard{table};
    ASSERT_EQ(table.count, 3);
    EXPECT_THAT(Names(table),
                ElementsAre(file, L"(none)", longForm, L"(none)", lookalike, L"(none)"));
    // The look-alike is tested as stored, and as stored it names nothing.
    EXPECT_THAT(Flags(table), ElementsAre(1, 0, 1, 0, 0, 0));

    // Were it found, it would be deleted as stored too.
    table.flags[4] = 1;
    FlushPendingDeletes(table);

    EXPECT_THAT(deleted, ElementsAre(file, longForm, lookalike));
    EXPECT_FALSE(FileExists(file));
    EXPECT_FALSE(FileExists(longForm.substr(4)));
    EXPECT_THAT(Flags(table), ElementsAre(0, 0, 0, 0, 1, 0));
}

TEST_F(PendingRenamesTest, AStrayLastStringIsIgnored) {
    std::wstring a = File(L"a.dll");
    std::wstring b = File(L"b.dll");
    std::wstring stray = File(L"stray.dll");
    value_.SetStrings({Prefixed(a), L"", Prefixed(b), L"", Prefixed(stray)});

    PendingRenameTable table = ReadPendingRenames();
    TableGuard guard{table};
    ASSERT_EQ(table.count, 2);
    EXPECT_THAT(Names(table), ElementsAre(Prefixed(a), L"(none)", Prefixed(b), L"(none)"));

    FlushPendingDeletes(table);

    EXPECT_THAT(deleted, ElementsAre(a, b));
    EXPECT_TRUE(FileExists(stray));
}

TEST_F(PendingRenamesTest, EmptySourcesCountAndAreNeverDeleted) {
    std::wstring target = File(L"t.dll");
    value_.SetStrings({L"", L"", L"", target});

    PendingRenameTable table = ReadPendingRenames();
    TableGuard guard{table};
    ASSERT_EQ(table.count, 2);
    EXPECT_THAT(Names(table), ElementsAre(L"(none)", L"(none)", L"(none)", target));
    EXPECT_THAT(Flags(table), ElementsAre(0, 0, 0, 1));

    FlushPendingDeletes(table);
    EXPECT_THAT(deleted, IsEmpty());
}

TEST_F(PendingRenamesTest, ALastStringWithoutTerminatorEndsAtTheEndOfTheData) {
    std::wstring source = File(L"s.dll");
    // The source, then "tail" with neither its terminator nor the list's.
    std::wstring data = Prefixed(source) + L'\0' + L"tail";
    value_.SetBytes(REG_BINARY, data.data(), data.size() * sizeof(wchar_t));

    PendingRenameTable table = ReadPendingRenames();
    TableGuard guard{table};

    ASSERT_EQ(table.count, 1);
    EXPECT_THAT(Names(table), ElementsAre(Prefixed(source), L"tail"));
}

TEST_F(PendingRenamesTest, TheLastCharacterIsTakenForTheListTerminator) {
    std::wstring source = File(L"s.dll");
    // Neither terminator: the "x" in the place of the list terminator starts
    // no string, so the source has no partner.
    std::wstring data = Prefixed(source) + L'\0' + L'x';
    value_.SetBytes(REG_BINARY, data.data(), data.size() * sizeof(wchar_t));

    PendingRenameTable table = ReadPendingRenames();
    TableGuard guard{table};

    ExpectEmpty(table);
}

TEST_F(PendingRenamesTest, WhatMoveFileExSchedulesIsReadAndDeletedAtOnce) {
    std::wstring file = File(L"scheduled.dll");
    ASSERT_TRUE(MoveFileExW(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    std::vector<BYTE> before = value_.Bytes();

    PendingRenameTable table = ReadPendingRenames();
    TableGuard guard{table};
    ASSERT_EQ(table.count, 1);
    EXPECT_THAT(Names(table), ElementsAre(Prefixed(file), L"(none)"));
    EXPECT_THAT(Flags(table), ElementsAre(1, 0));

    FlushPendingDeletes(table);

    EXPECT_FALSE(FileExists(file));
    EXPECT_THAT(Flags(table), ElementsAre(0, 0));
    // The value is Windows' to carry out; it is never written here.
    EXPECT_EQ(value_.Bytes(), before);
}

TEST_F(PendingRenamesTest, AFileThatCannotBeDeletedKeepsItsFlag) {
    std::wstring locked = File(L"locked.dll");
    std::wstring free = File(L"free.dll");
    value_.SetStrings({Prefixed(locked), L"", Prefixed(free), L""});
    // Open without FILE_SHARE_DELETE: Wine then refuses the deletion.
    HANDLE lock = CreateFileW(locked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);

    PendingRenameTable table = ReadPendingRenames();
    TableGuard guard{table};
    FlushPendingDeletes(table);
    CloseHandle(lock);

    EXPECT_THAT(deleted, ElementsAre(locked, free));
    EXPECT_THAT(Flags(table), ElementsAre(1, 0, 0, 0));
    EXPECT_TRUE(FileExists(locked));
    EXPECT_FALSE(FileExists(free));
}

TEST_F(PendingRenamesTest, ReleaseFreesEveryBlockAndEmptiesTheTable) {
    std::wstring a = File(L"a.dll");
    value_.SetStrings({Prefixed(a), L"", L"", L"", Prefixed(a), L"x"});
    AllocationCounter counter;

    PendingRenameTable table = ReadPendingRenames();
    ASSERT_EQ(table.count, 3);
    // Two arrays and three copies; the buffer of the reading is gone already.
    EXPECT_EQ(counter.GlobalBlocks(), 5);

    ReleasePendingRenames(table);

    EXPECT_EQ(counter.GlobalBlocks(), 0);
    ExpectEmpty(table);
    ReleasePendingRenames(table);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(PendingRenamesTest, ALackOfMemoryAnywhereGivesAnEmptyTableAndLeaksNothing) {
    std::wstring a = File(L"a.dll");
    value_.SetStrings({Prefixed(a), L"", L"", Prefixed(a)});
    static int allocations;
    static int failing;
    allocations = 0;
    failing = 0;
    ScopedOverride fail(kernel.GlobalAlloc, [](UINT flags, SIZE_T bytes) -> HGLOBAL {
        return ++allocations == failing ? nullptr : ::GlobalAlloc(flags, bytes);
    });
    {
        PendingRenameTable table = ReadPendingRenames();
        ReleasePendingRenames(table);
    }
    int total = allocations;
    // The buffer, two arrays, two copies.
    ASSERT_EQ(total, 5);
    for (failing = 1; failing <= total; ++failing) {
        SCOPED_TRACE(failing);
        allocations = 0;
        AllocationCounter counter;
        PendingRenameTable table = ReadPendingRenames();
        ExpectEmpty(table);
        FlushPendingDeletes(table);
        EXPECT_TRUE(FileExists(a));
        EXPECT_EQ(counter.GlobalBlocks(), 0);
    }
}

TEST_F(PendingRenamesTest, KeyThatDoesNotOpenGivesAnEmptyTable) {
    std::wstring a = File(L"a.dll");
    value_.SetStrings({Prefixed(a), L""});
    static REGSAM access;
    ScopedOverride refuse(kernel.RegOpenKeyExA,
                          [](HKEY, LPCSTR, DWORD, REGSAM sam, PHKEY) -> LSTATUS {
                              access = sam;
                              return ERROR_ACCESS_DENIED;
                          });

    PendingRenameTable table = ReadPendingRenames();

    ExpectEmpty(table);
    // Read access only: the installer never writes the value.
    EXPECT_EQ(access, static_cast<REGSAM>(KEY_READ));
}

TEST_F(PendingRenamesTest, ReadThatFailsAfterTheSizeQueryGivesAnEmptyTable) {
    std::wstring a = File(L"a.dll");
    value_.SetStrings({Prefixed(a), L""});
    ScopedOverride fail(kernel.RegQueryValueExW,
                        [](HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                           LPDWORD bytes) -> LSTATUS {
                            if (data) {
                                return ERROR_MORE_DATA;
                            }
                            return ::RegQueryValueExW(key, name, reserved, type, data, bytes);
                        });
    AllocationCounter counter;

    PendingRenameTable table = ReadPendingRenames();

    ExpectEmpty(table);
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

// The byte count of the reading decides, not that of the size query.
TEST_F(PendingRenamesTest, ShorterReadThanTheSizeQueryUsesTheReadSize) {
    std::wstring a = File(L"a.dll");
    std::wstring b = File(L"b.dll");
    value_.SetStrings({Prefixed(a), L"", Prefixed(b), L""});
    static DWORD cut;
    cut = static_cast<DWORD>((Prefixed(a).size() + 3) * sizeof(wchar_t));
    ScopedOverride shrink(kernel.RegQueryValueExW,
                          [](HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD bytes) -> LSTATUS {
                              LSTATUS status =
                                  ::RegQueryValueExW(key, name, reserved, type, data, bytes);
                              if (data && status == ERROR_SUCCESS) {
                                  *bytes = cut;
                              }
                              return status;
                          });

    PendingRenameTable table = ReadPendingRenames();
    TableGuard guard{table};

    ASSERT_EQ(table.count, 1);
    EXPECT_THAT(Names(table), ElementsAre(Prefixed(a), L"(none)"));
}

}  // namespace
