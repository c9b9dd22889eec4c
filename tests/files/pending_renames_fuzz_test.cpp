// Malformed PendingFileRenameOperations values, made at random from a fixed
// seed: reading, flushing, releasing and forgetting must stay inside the data
// and the blocks they took, delete nothing outside the test's folder and give
// back every block.
#include <gmock/gmock.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/kernel_api.h"
#include "files/pending_renames.h"
#include "files/pending_value.h"
#include "support/scoped_override.h"
#include "support/test_support.h"
#include "core/advapi_api.h"

namespace {

constexpr int kRounds = 300;
constexpr unsigned kSeed = 20260;

// ---- global blocks that end where a no-access page begins -------------------

// Each block ends at a PAGE_NOACCESS page, so that a read past it faults (and,
// with winedbg disabled, ends the test program). The block the value is read
// into ends exactly there; a block of an odd size then starts at an odd
// address, which x86 reads as it is. Other blocks shorter than kWineReadBytes
// keep the difference before the guard: Wine's RtlDosPathNameToNtPathName_U
// compares the first four characters of every path with one 8-byte read, so
// a string copy of a shorter path, which goes to GetFileAttributesW with or
// without its 4-character prefix, is read past its terminator by Wine itself.
constexpr SIZE_T kWineReadBytes = 16;

struct GuardedHeap {
    std::map<void*, void*> bases;  // block -> its reservation
    int foreignFrees;
    // Set by the size query that comes before the value's block.
    bool valueBlockNext;
    SIZE_T valueBytes;
    int valueBlocks;
    int taken;
};
GuardedHeap guarded;

SIZE_T PageSize() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

// A block that starts `room` bytes before a no-access page.
HGLOBAL PlaceBeforeGuard(SIZE_T room) {
    const SIZE_T page = PageSize();
    const SIZE_T span = (room + page - 1) / page * page;
    BYTE* base = static_cast<BYTE*>(
        VirtualAlloc(nullptr, span + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!base) {
        return nullptr;
    }
    DWORD old = 0;
    VirtualProtect(base + span, page, PAGE_NOACCESS, &old);
    // VirtualAlloc hands out zeroed pages: GMEM_ZEROINIT holds.
    BYTE* block = base + span - room;
    guarded.bases[block] = base;
    return block;
}

HGLOBAL WINAPI GuardedAlloc(UINT, SIZE_T bytes) {
    bool valueBlock = guarded.valueBlockNext && bytes == guarded.valueBytes;
    guarded.valueBlockNext = false;
    guarded.valueBlocks += valueBlock ? 1 : 0;
    ++guarded.taken;
    return PlaceBeforeGuard(valueBlock || bytes >= kWineReadBytes ? bytes : kWineReadBytes);
}

HGLOBAL WINAPI GuardedFree(HGLOBAL block) {
    auto found = guarded.bases.find(block);
    if (found == guarded.bases.end()) {
        ++guarded.foreignFrees;
        return ::GlobalFree(block);
    }
    VirtualFree(found->second, 0, MEM_RELEASE);
    guarded.bases.erase(found);
    return nullptr;
}

LSTATUS WINAPI MarkingQuery(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                            LPDWORD bytes) {
    LSTATUS status = ::RegQueryValueExW(key, name, reserved, type, data, bytes);
    guarded.valueBlockNext = !data && status == ERROR_SUCCESS;
    guarded.valueBytes = bytes ? *bytes : 0;
    return status;
}

bool IsNoAccess(const void* address) {
    MEMORY_BASIC_INFORMATION info = {};
    VirtualQuery(address, &info, sizeof(info));
    return info.Protect == PAGE_NOACCESS;
}

TEST(GuardedHeap, ValueBlocksEndAtANoAccessPageAndGoBackWhole) {
    guarded = GuardedHeap{};
    for (SIZE_T bytes : {1, 2, 7, 4095, 4096, 4097}) {
        SCOPED_TRACE(bytes);
        guarded.valueBlockNext = true;
        guarded.valueBytes = bytes;
        BYTE* block = static_cast<BYTE*>(GuardedAlloc(GMEM_FIXED | GMEM_ZEROINIT, bytes));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block[0], 0);
        EXPECT_EQ(block[bytes - 1], 0);
        EXPECT_FALSE(IsNoAccess(block + bytes - 1));
        EXPECT_TRUE(IsNoAccess(block + bytes));
        GuardedFree(block);
    }
    EXPECT_EQ(guarded.valueBlocks, 6);
    // Other blocks end exactly there from kWineReadBytes on.
    for (SIZE_T bytes : {SIZE_T{2}, kWineReadBytes - 1, kWineReadBytes, SIZE_T{100}}) {
        SCOPED_TRACE(bytes);
        BYTE* block = static_cast<BYTE*>(GuardedAlloc(GMEM_FIXED | GMEM_ZEROINIT, bytes));
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(IsNoAccess(block + (bytes < kWineReadBytes ? kWineReadBytes : bytes)));
        EXPECT_FALSE(IsNoAccess(block + kWineReadBytes - 1));
        GuardedFree(block);
    }
    EXPECT_EQ(guarded.valueBlocks, 6);
    EXPECT_TRUE(guarded.bases.empty());
    EXPECT_EQ(guarded.foreignFrees, 0);
}

// ---- deletions kept inside the test's folder ---------------------------------

struct DeleteGuard {
    std::wstring dir;  // with a trailing backslash
    std::vector<std::wstring> refused;
};
DeleteGuard deleteGuard;

bool IsInside(const std::wstring& dir, const wchar_t* path) {
    wchar_t full[MAX_PATH * 2];
    DWORD n = GetFullPathNameW(path, MAX_PATH * 2, full, nullptr);
    return n > dir.size() && n < MAX_PATH * 2 &&
           CompareStringOrdinal(full, static_cast<int>(dir.size()), dir.c_str(),
                                static_cast<int>(dir.size()), TRUE) == CSTR_EQUAL;
}

// The path is copied first: Wine reads short paths past their terminator.
BOOL WINAPI GuardedDeleteFile(LPCWSTR path) {
    std::wstring copy = path;
    if (!IsInside(deleteGuard.dir, copy.c_str())) {
        deleteGuard.refused.push_back(copy);
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ::DeleteFileW(copy.c_str());
}

// Relative names in the data resolve inside the test's folder while it lives.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::wstring& dir) {
        wchar_t saved[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, saved);
        saved_ = saved;
        SetCurrentDirectoryW(dir.c_str());
    }
    ~CurrentDirectory() { SetCurrentDirectoryW(saved_.c_str()); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    std::wstring saved_;
};

// ---- the values ----------------------------------------------------------------

enum class Kind { File, Missing, Folder };

struct Path {
    std::wstring text;
    Kind kind;
};

std::wstring Prefixed(const std::wstring& path) {
    return L"\\??\\" + path;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring WithoutPrefix(const std::wstring& text) {
    return text.rfind(L"\\??\\", 0) == 0 ? text.substr(4) : text;
}

class Generator {
public:
    explicit Generator(const std::vector<Path>& paths) : paths_(paths), random_(kSeed) {}

    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

    const Path& AnyPath() { return paths_[Below(static_cast<int>(paths_.size()))]; }

    std::wstring MixedCase(std::wstring text) {
        for (wchar_t& c : text) {
            if (Below(3) == 0) {
                c = Below(2) ? towupper(c) : towlower(c);
            }
        }
        return text;
    }

    std::wstring Units(int count) {
        static const wchar_t kAlphabet[] = L"\\?:./ab*!";
        std::wstring text;
        for (int i = 0; i < count; ++i) {
            int pick = Below(4);
            wchar_t unit = pick == 0   ? static_cast<wchar_t>(1 + Below(0xFFFF))
                           : pick == 1 ? static_cast<wchar_t>(0xD800 + Below(0x800))
                                       : kAlphabet[Below(sizeof(kAlphabet) / sizeof(wchar_t) - 1)];
            text += unit;
        }
        return text;
    }

    // A path of the folder most of the time, in any letter case.
    std::wstring PathToForget() {
        if (Below(5) == 0) {
            return Units(Below(5));
        }
        if (!used_.empty() && Below(3)) {
            return MixedCase(used_[Below(static_cast<int>(used_.size()))]);
        }
        return MixedCase(AnyPath().text);
    }

    std::wstring String() {
        switch (Below(8)) {
            case 0:
            case 1:
                return L"";
            case 2:
                return Units(Below(12));
            case 3:
                return Prefixed(Units(Below(6)));
            case 4:
                return Below(2) ? L"\\??\\" : L"\\??";
            default: {
                std::wstring path = MixedCase(AnyPath().text);
                used_.push_back(path);
                return Below(2) ? Prefixed(path) : path;
            }
        }
    }

    // Pairs, half of them deletions, and perhaps a stray string; the last
    // string with or without its terminator, the list terminator or not;
    // then cut or lengthened to any byte count.
    std::vector<BYTE> Value() {
        used_.clear();
        std::vector<std::wstring> strings;
        for (int n = Below(6); n > 0; --n) {
            strings.push_back(String());
            strings.push_back(Below(2) ? L"" : String());
        }
        if (Below(4) == 0) {
            strings.push_back(String());
        }
        std::wstring text;
        for (size_t i = 0; i < strings.size(); ++i) {
            text += strings[i];
            if (i + 1 < strings.size() || Below(4)) {
                text += L'\0';
            }
        }
        if (Below(3)) {
            text += L'\0';
        }
        const BYTE* raw = reinterpret_cast<const BYTE*>(text.data());
        std::vector<BYTE> bytes(raw, raw + text.size() * sizeof(wchar_t));
        switch (Below(6)) {
            case 0:
                bytes.resize(Below(3));
                break;
            case 1:
                bytes.resize(bytes.empty() ? 0 : Below(static_cast<int>(bytes.size())));
                break;
            case 2:
                bytes.push_back(static_cast<BYTE>(Below(256)));
                break;
            default:
                break;
        }
        return bytes;
    }

private:
    const std::vector<Path>& paths_;
    std::mt19937 random_;
    // The folder's paths in the last value.
    std::vector<std::wstring> used_;
};

// ---- the table as plain data ------------------------------------------------------

struct Entry {
    std::wstring name;
    bool none;
    INT32 flag;
};

std::vector<Entry> Entries(const PendingRenameTable& table) {
    std::vector<Entry> entries;
    for (INT32 i = 0; i < 2 * table.count; ++i) {
        const wchar_t* name = table.names[i];
        entries.push_back({name ? name : L"", name == nullptr, table.flags[i]});
    }
    return entries;
}

std::vector<std::wstring> Names(const std::vector<Entry>& entries) {
    std::vector<std::wstring> names;
    for (const Entry& e : entries) {
        names.push_back(e.none ? L"(none)" : e.name);
    }
    return names;
}

// The pairs of `entries` without the pending deletions of `path`; an empty
// path names no file.
std::vector<std::wstring> NamesWithout(const std::vector<Entry>& entries, const std::wstring& path,
                                       int& dropped) {
    std::vector<Entry> kept;
    dropped = 0;
    for (size_t k = 0; k + 1 < entries.size(); k += 2) {
        const Entry& source = entries[k];
        const Entry& target = entries[k + 1];
        if (!path.empty() && !source.none && target.none &&
            SameName(WithoutPrefix(source.name), path)) {
            ++dropped;
            continue;
        }
        kept.push_back(source);
        kept.push_back(target);
    }
    return Names(kept);
}

// The folder's name holds the process id, so the values differ a little from
// run to run: a failure shows the value and the path it was about.
std::string Hex(const std::vector<BYTE>& bytes) {
    std::string text;
    char digits[4];
    for (BYTE b : bytes) {
        wsprintfA(digits, "%02x ", b);
        text += digits;
    }
    return text;
}

std::string Hex(const std::wstring& text) {
    const BYTE* raw = reinterpret_cast<const BYTE*>(text.data());
    return Hex(std::vector<BYTE>(raw, raw + text.size() * sizeof(wchar_t)));
}

class PendingRenamesFuzzTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeTempDir(L"pending-fuzz");
        deleteGuard = DeleteGuard{dir_ + L"\\", {}};
        guarded = GuardedHeap{};
        for (int i = 0; i < 4; ++i) {
            paths_.push_back({dir_ + L"\\file" + std::to_wstring(i) + L".dll", Kind::File});
            paths_.push_back({dir_ + L"\\gone" + std::to_wstring(i) + L".dll", Kind::Missing});
        }
        for (int i = 0; i < 2; ++i) {
            paths_.push_back({dir_ + L"\\folder" + std::to_wstring(i), Kind::Folder});
            CreateDirectoryW(paths_.back().text.c_str(), nullptr);
        }
    }
    void TearDown() override { RemoveTree(dir_); }

    // The files come back after each flush, so every round sees the same folder.
    void MakeFiles() {
        for (const Path& p : paths_) {
            if (p.kind == Kind::File && !FileExists(p.text)) {
                WriteFileBytes(p.text, "x");
            }
        }
    }

    // Flag 1 exactly for the names of the folder's files; anything else
    // (random units included) names nothing that exists.
    void ExpectFlags(const std::vector<Entry>& entries) {
        for (const Entry& e : entries) {
            bool file = false;
            for (const Path& p : paths_) {
                file = file ||
                       (p.kind == Kind::File && !e.none && SameName(WithoutPrefix(e.name), p.text));
            }
            EXPECT_EQ(e.flag, file ? 1 : 0) << "entry " << testing::PrintToString(e.name);
        }
    }

    PendingValue value_;
    std::wstring dir_;
    std::vector<Path> paths_;
};

TEST_F(PendingRenamesFuzzTest, MalformedValuesAreReadFlushedAndForgottenSafely) {
    CurrentDirectory inside(dir_);
    ScopedOverride alloc(kernel.GlobalAlloc, &GuardedAlloc);
    ScopedOverride free(kernel.GlobalFree, &GuardedFree);
    ScopedOverride query(advapi.RegQueryValueExW, &MarkingQuery);
    ScopedOverride deletes(kernel.DeleteFileW, &GuardedDeleteFile);
    Generator generate(paths_);
    int tables = 0;
    int forgotten = 0;

    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        MakeFiles();
        std::vector<BYTE> bytes = generate.Value();
        value_.SetBytes(generate.Below(2) ? REG_BINARY : REG_MULTI_SZ, bytes.data(), bytes.size());
        std::vector<BYTE> before = value_.Bytes();
        SCOPED_TRACE("value " + Hex(before));

        PendingRenameTable table = ReadPendingRenames();
        std::vector<Entry> entries = Entries(table);
        ExpectFlags(entries);
        FlushPendingDeletes(table);
        ReleasePendingRenames(table);
        ASSERT_TRUE(guarded.bases.empty());
        tables += entries.empty() ? 0 : 1;

        std::wstring path = generate.PathToForget();
        SCOPED_TRACE("forgetting " + Hex(path));
        int dropped = 0;
        std::vector<std::wstring> expected = NamesWithout(entries, path, dropped);
        bool forgot = ForgetPendingDelete(path.c_str());
        ASSERT_TRUE(guarded.bases.empty());

        EXPECT_EQ(forgot, dropped > 0);
        if (!forgot) {
            EXPECT_EQ(value_.Bytes(), before);
            continue;
        }
        ++forgotten;
        // A value left with empty pairs alone holds nothing to carry out and goes.
        if (!value_.Exists()) {
            expected.erase(std::remove(expected.begin(), expected.end(), L"(none)"),
                           expected.end());
        }
        PendingRenameTable after = ReadPendingRenames();
        EXPECT_EQ(Names(Entries(after)), expected);
        ReleasePendingRenames(after);
        ASSERT_TRUE(guarded.bases.empty());
    }

    EXPECT_EQ(guarded.foreignFrees, 0);
    // Every reading placed its block: the one of the table and, where there
    // was one, that of ForgetPendingDelete.
    EXPECT_GT(guarded.valueBlocks, kRounds);
    EXPECT_THAT(deleteGuard.refused, testing::IsEmpty());
    // The seed makes values that hold pairs and deletions to forget.
    EXPECT_GT(tables, kRounds / 4);
    EXPECT_GT(forgotten, kRounds / 10);
}

// A string value of one byte, read into a block of one byte, would be
// written past it by Wine's RegQueryValueExW: values of two bytes or less
// are not read at all.
TEST_F(PendingRenamesFuzzTest, ValuesOfTwoBytesOrLessTakeNoBlock) {
    ScopedOverride alloc(kernel.GlobalAlloc, &GuardedAlloc);
    ScopedOverride free(kernel.GlobalFree, &GuardedFree);
    ScopedOverride query(advapi.RegQueryValueExW, &MarkingQuery);
    // Characters after the data keep RegSetValueExW from adding a terminator.
    const BYTE bytes[] = {'a', 'b', 'c', 'd'};
    for (DWORD type : {REG_MULTI_SZ, REG_SZ, REG_BINARY}) {
        for (size_t size = 1; size <= 2; ++size) {
            SCOPED_TRACE(testing::Message() << "type " << type << ", " << size << " bytes");
            value_.SetBytes(type, bytes, size);
            std::vector<BYTE> before = value_.Bytes();
            SCOPED_TRACE("value " + Hex(before));
            ASSERT_EQ(before.size(), size);
            guarded = GuardedHeap{};

            PendingRenameTable table = ReadPendingRenames();
            EXPECT_EQ(table.count, 0);
            ReleasePendingRenames(table);
            EXPECT_FALSE(ForgetPendingDelete(L"a"));

            EXPECT_EQ(guarded.taken, 0);
            EXPECT_EQ(value_.Bytes(), before);
        }
    }
}

}  // namespace
