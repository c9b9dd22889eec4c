#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "core/kernel_api.h"
#include "files/pending_renames.h"
#include "files/pending_value.h"
#include "support/scoped_override.h"
#include "support/test_support.h"
#include "core/advapi_api.h"

using testing::ElementsAre;
using testing::IsEmpty;

namespace {

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
    ScopedOverride refuse(advapi.RegOpenKeyExA,
                          [](HKEY, LPCSTR, DWORD, REGSAM sam, PHKEY) -> LSTATUS {
                              access = sam;
                              return ERROR_ACCESS_DENIED;
                          });

    PendingRenameTable table = ReadPendingRenames();

    ExpectEmpty(table);
    // Read access only: reading never writes the value.
    EXPECT_EQ(access, static_cast<REGSAM>(KEY_READ));
}

TEST_F(PendingRenamesTest, ReadThatFailsAfterTheSizeQueryGivesAnEmptyTable) {
    std::wstring a = File(L"a.dll");
    value_.SetStrings({Prefixed(a), L""});
    ScopedOverride fail(advapi.RegQueryValueExW,
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
    ScopedOverride shrink(advapi.RegQueryValueExW,
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

// ---- ForgetPendingDelete -------------------------------------------------------

// Any change to the values of the key signals the event, a deletion and
// re-creation with the same bytes included (Wine skips a write of identical
// data altogether). The watch has a key handle of its own, so that the
// notification ends with it.
class KeyWatch {
public:
    KeyWatch() {
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_NOTIFY, &key_);
        event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        RegNotifyChangeKeyValue(key_, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event_, TRUE);
    }
    ~KeyWatch() {
        RegCloseKey(key_);
        CloseHandle(event_);
    }
    KeyWatch(const KeyWatch&) = delete;
    KeyWatch& operator=(const KeyWatch&) = delete;
    bool Written() const { return WaitForSingleObject(event_, 0) == WAIT_OBJECT_0; }

private:
    HKEY key_ = nullptr;
    HANDLE event_ = nullptr;
};

std::vector<BYTE> BytesOf(const std::wstring& data) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(data.data());
    return std::vector<BYTE>(bytes, bytes + data.size() * sizeof(wchar_t));
}

std::vector<BYTE> BytesOf(const std::vector<std::wstring>& strings) {
    return BytesOf(PendingValue::Joined(strings));
}

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) {
        c = towupper(c);
    }
    return text;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) {
        c = towlower(c);
    }
    return text;
}

class ForgetPendingDeleteTest : public PendingRenamesTest {
protected:
    void SetUp() override {
        PendingRenamesTest::SetUp();
        monitor_ = dir_ + L"\\zrlmon64.dll";
    }

    // Forgets the monitor's deletion and expects the value untouched.
    void ExpectNothingForgotten() {
        std::vector<BYTE> before = value_.Bytes();
        KeyWatch watch;
        EXPECT_FALSE(ForgetPendingDelete(monitor_.c_str()));
        EXPECT_FALSE(watch.Written());
        EXPECT_TRUE(value_.Exists());
        EXPECT_EQ(value_.Bytes(), before);
    }

    std::wstring monitor_;
};

TEST_F(ForgetPendingDeleteTest, DeletionsOfThePathGoWithOrWithoutPrefixInAnyCase) {
    std::wstring first = dir_ + L"\\first.tmp";
    std::wstring last = dir_ + L"\\last.tmp";
    value_.SetStrings({Prefixed(first), L"", Prefixed(Upper(monitor_)), L"", Lower(monitor_), L"",
                       Prefixed(monitor_), L"", Prefixed(last), L""});
    KeyWatch watch;

    EXPECT_TRUE(ForgetPendingDelete(monitor_.c_str()));

    EXPECT_TRUE(watch.Written());
    EXPECT_EQ(value_.Bytes(), BytesOf({Prefixed(first), L"", Prefixed(last), L""}));
    EXPECT_EQ(value_.Type(), static_cast<DWORD>(REG_MULTI_SZ));
}

TEST_F(ForgetPendingDeleteTest, RenamesOfOrOntoThePathAndOtherDeletionsStayInOrder) {
    std::wstring a = dir_ + L"\\a.dll";
    std::wstring b = dir_ + L"\\b.dll";
    std::wstring renamed = dir_ + L"\\renamed.dll";
    value_.SetStrings({Prefixed(monitor_), Prefixed(renamed), Prefixed(a), L"", Prefixed(monitor_),
                       L"", Prefixed(renamed), L"!" + Prefixed(monitor_), Prefixed(b), L""});

    EXPECT_TRUE(ForgetPendingDelete(monitor_.c_str()));

    EXPECT_EQ(value_.Bytes(),
              BytesOf({Prefixed(monitor_), Prefixed(renamed), Prefixed(a), L"", Prefixed(renamed),
                       L"!" + Prefixed(monitor_), Prefixed(b), L""}));
}

TEST_F(ForgetPendingDeleteTest, ValueIsDeletedWhenNothingIsLeft) {
    value_.SetStrings({Prefixed(monitor_), L"", Upper(monitor_), L""});

    EXPECT_TRUE(ForgetPendingDelete(monitor_.c_str()));

    EXPECT_FALSE(value_.Exists());
}

// Empty pairs are nothing for Windows to carry out.
TEST_F(ForgetPendingDeleteTest, ValueOfEmptyPairsAloneIsDeleted) {
    value_.SetStrings({L"", L"", Prefixed(monitor_), L"", L"", L""});

    EXPECT_TRUE(ForgetPendingDelete(monitor_.c_str()));

    EXPECT_FALSE(value_.Exists());
}

// Uninstall with the monitor locked, install again before the restart: the
// flush deletes the old file, the new one is copied in, and its deletion is
// taken back so that the restart keeps it.
TEST_F(ForgetPendingDeleteTest, FileScheduledByMoveFileExAndInstalledAgainIsKept) {
    std::wstring monitor = File(L"zrlmon64.dll");
    std::wstring other = File(L"other.tmp");
    ASSERT_TRUE(MoveFileExW(monitor.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExW(other.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    {
        PendingRenameTable table = ReadPendingRenames();
        TableGuard guard{table};
        FlushPendingDeletes(table);
    }
    ASSERT_FALSE(FileExists(monitor));
    WriteFileBytes(monitor, "new");

    EXPECT_TRUE(ForgetPendingDelete(monitor.c_str()));

    PendingRenameTable table = ReadPendingRenames();
    TableGuard guard{table};
    EXPECT_THAT(Names(table), ElementsAre(Prefixed(other), L"(none)"));
    EXPECT_TRUE(FileExists(monitor));
}

TEST_F(ForgetPendingDeleteTest, NothingMatchingWritesNothing) {
    std::wstring elsewhere = dir_ + L"\\elsewhere.dll";
    value_.SetStrings({
        Prefixed(monitor_ + L".old"), L"",                       // longer name
        Prefixed(monitor_.substr(0, monitor_.size() - 1)), L"",  // shorter name
        Prefixed(monitor_), Prefixed(elsewhere),                 // a rename of it
        Prefixed(elsewhere), Prefixed(monitor_),                 // a rename onto it
        L"\\??" + monitor_, L"",                                 // not the prefix
        L"\\\\?\\" + monitor_, L"",                              // nor is this
        L"\\??\\\\??\\" + monitor_, L"",                         // only one prefix is skipped
        Prefixed(monitor_),                                      // a stray string
    });

    ExpectNothingForgotten();

    // What the bytes alone would not show, the watch sees.
    std::vector<BYTE> same = value_.Bytes();
    KeyWatch watch;
    value_.Remove();
    value_.SetBytes(REG_MULTI_SZ, same.data(), same.size());
    EXPECT_TRUE(watch.Written());
}

TEST_F(ForgetPendingDeleteTest, NoValueNoPathAndAnEmptyPathChangeNothing) {
    {
        KeyWatch watch;
        EXPECT_FALSE(ForgetPendingDelete(monitor_.c_str()));
        EXPECT_FALSE(watch.Written());
        EXPECT_FALSE(value_.Exists());
    }
    // The prefix alone names nothing, and nothing is an empty path.
    value_.SetStrings({L"\\??\\", L"", L"", L""});
    std::vector<BYTE> before = value_.Bytes();
    KeyWatch watch;
    EXPECT_FALSE(ForgetPendingDelete(L""));
    EXPECT_FALSE(ForgetPendingDelete(nullptr));
    EXPECT_FALSE(watch.Written());
    EXPECT_EQ(value_.Bytes(), before);
}

TEST_F(ForgetPendingDeleteTest, ValuesOfTwoBytesOrLessAreLeftAlone) {
    const BYTE bytes[] = {0, 0};
    for (size_t size = 0; size <= 2; ++size) {
        SCOPED_TRACE(size);
        value_.SetBytes(REG_BINARY, bytes, size);
        ExpectNothingForgotten();
    }
}

// Everything after the pairs stays as it was: a stray string, an odd byte.
TEST_F(ForgetPendingDeleteTest, OddByteCountAndStrayStringSurviveTheCut) {
    std::vector<BYTE> data = BytesOf({Prefixed(monitor_), L"", L"keep"});
    data.pop_back();
    data.pop_back();  // no list terminator
    data.push_back(0x41);
    value_.SetBytes(REG_BINARY, data.data(), data.size());

    EXPECT_TRUE(ForgetPendingDelete(monitor_.c_str()));

    std::vector<BYTE> expected = BytesOf(std::wstring(L"keep") + L'\0');
    expected.push_back(0x41);
    EXPECT_EQ(value_.Bytes(), expected);
    EXPECT_EQ(value_.Type(), static_cast<DWORD>(REG_BINARY));
}

// Without the list terminator the last character ends the list: a deletion
// in the middle goes, and the character stays.
TEST_F(ForgetPendingDeleteTest, MissingListTerminatorKeepsTheLastCharacter) {
    std::wstring a = dir_ + L"\\a.dll";
    std::wstring data = Prefixed(a) + L'\0' + L'\0' + Prefixed(monitor_) + L'\0' + L'\0' + L'x';
    value_.SetBytes(REG_BINARY, data.data(), data.size() * sizeof(wchar_t));

    EXPECT_TRUE(ForgetPendingDelete(monitor_.c_str()));

    EXPECT_EQ(value_.Bytes(), BytesOf(Prefixed(a) + L'\0' + L'\0' + L'x'));
}

// RegSetValueExW adds a terminator to string data that ends without one when
// the character after the data is zero. The cut leaves such a character
// there (the source's own terminator), and the value must not grow.
TEST_F(ForgetPendingDeleteTest, StringValueEndingWithoutTerminatorKeepsItsLength) {
    std::wstring data = std::wstring(L"\\??\\x") + L'\0' + L'\0' + L'a' + L'\0' + L'\0' + L"de";
    // A character after the data keeps this write from adding one.
    std::wstring buffer = data + L'!';
    value_.SetBytes(REG_MULTI_SZ, buffer.data(), data.size() * sizeof(wchar_t));
    ASSERT_EQ(value_.Bytes(), BytesOf(data));

    EXPECT_TRUE(ForgetPendingDelete(L"X"));

    EXPECT_EQ(value_.Bytes(), BytesOf(std::wstring(L"a") + L'\0' + L'\0' + L"de"));
    EXPECT_EQ(value_.Type(), static_cast<DWORD>(REG_MULTI_SZ));
}

// The same with an odd byte count: the last byte is data, the one after it is
// not.
TEST_F(ForgetPendingDeleteTest, OddStringValueKeepsItsLength) {
    std::vector<BYTE> data =
        BytesOf(std::wstring(L"\\??\\x") + L'\0' + L'\0' + L'a' + L'\0' + L'\0' + L'd');
    data.push_back(0);
    std::vector<BYTE> buffer = data;
    buffer.push_back('!');
    value_.SetBytes(REG_MULTI_SZ, buffer.data(), data.size());
    ASSERT_EQ(value_.Bytes(), data);

    EXPECT_TRUE(ForgetPendingDelete(L"x"));

    std::vector<BYTE> expected = BytesOf(std::wstring(L"a") + L'\0' + L'\0' + L'd');
    expected.push_back(0);
    EXPECT_EQ(value_.Bytes(), expected);
}

// A deletion is only one when its empty target is inside the list.
TEST_F(ForgetPendingDeleteTest, SourceWithoutItsTargetIsNoDeletion) {
    std::wstring unterminated = Prefixed(monitor_);
    value_.SetBytes(REG_BINARY, unterminated.data(), unterminated.size() * sizeof(wchar_t));
    ExpectNothingForgotten();

    std::wstring oneTerminator = Prefixed(monitor_) + L'\0';
    value_.SetBytes(REG_BINARY, oneTerminator.data(), oneTerminator.size() * sizeof(wchar_t));
    ExpectNothingForgotten();

    // The reader sees no pair there either.
    PendingRenameTable table = ReadPendingRenames();
    TableGuard guard{table};
    ExpectEmpty(table);
}

TEST_F(ForgetPendingDeleteTest, AsksForQueryAndSetRightsAndChangesNothingWhenRefused) {
    value_.SetStrings({Prefixed(monitor_), L""});
    static REGSAM access;
    access = 0;
    ScopedOverride refuse(advapi.RegOpenKeyExA,
                          [](HKEY, LPCSTR, DWORD, REGSAM sam, PHKEY) -> LSTATUS {
                              access = sam;
                              return ERROR_ACCESS_DENIED;
                          });

    ExpectNothingForgotten();
    EXPECT_EQ(access, static_cast<REGSAM>(KEY_QUERY_VALUE | KEY_SET_VALUE));
}

// A key that opens for reading only: the write or the deletion of the value
// is refused, and the value stays as it was.
TEST_F(ForgetPendingDeleteTest, RefusedWriteOrDeletionLeavesTheValue) {
    ScopedOverride readOnly(
        advapi.RegOpenKeyExA,
        [](HKEY root, LPCSTR name, DWORD options, REGSAM, PHKEY key) -> LSTATUS {
            return ::RegOpenKeyExA(root, name, options, KEY_QUERY_VALUE, key);
        });
    std::wstring other = dir_ + L"\\other.dll";
    value_.SetStrings({Prefixed(monitor_), L"", Prefixed(other), L""});
    ExpectNothingForgotten();

    value_.SetStrings({Prefixed(monitor_), L""});
    ExpectNothingForgotten();
}

TEST_F(ForgetPendingDeleteTest, ReadThatFailsAfterTheSizeQueryChangesNothing) {
    value_.SetStrings({Prefixed(monitor_), L""});
    ScopedOverride fail(advapi.RegQueryValueExW,
                        [](HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                           LPDWORD bytes) -> LSTATUS {
                            if (data) {
                                return ERROR_MORE_DATA;
                            }
                            return ::RegQueryValueExW(key, name, reserved, type, data, bytes);
                        });
    AllocationCounter counter;

    ExpectNothingForgotten();
    EXPECT_EQ(counter.GlobalBlocks(), 0);
}

TEST_F(ForgetPendingDeleteTest, NoMemoryForTheValueChangesNothing) {
    value_.SetStrings({Prefixed(monitor_), L""});
    ScopedOverride fail(kernel.GlobalAlloc, [](UINT, SIZE_T) -> HGLOBAL { return nullptr; });

    ExpectNothingForgotten();
}

TEST_F(ForgetPendingDeleteTest, GivesBackTheBlockItReadInto) {
    std::wstring other = dir_ + L"\\other.dll";
    value_.SetStrings({Prefixed(monitor_), L"", Prefixed(other), L""});
    AllocationCounter counter;

    EXPECT_FALSE(ForgetPendingDelete(other.c_str() + 1));
    EXPECT_EQ(counter.GlobalBlocks(), 0);
    EXPECT_TRUE(ForgetPendingDelete(monitor_.c_str()));
    EXPECT_EQ(counter.GlobalBlocks(), 0);
    EXPECT_TRUE(ForgetPendingDelete(other.c_str()));
    EXPECT_EQ(counter.GlobalBlocks(), 0);
    EXPECT_FALSE(value_.Exists());
}

}  // namespace
