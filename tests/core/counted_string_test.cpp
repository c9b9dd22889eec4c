#include <gmock/gmock.h>

#include "core/counted_string.h"
#include "core/kernel_api.h"
#include "support/scoped_override.h"
#include "support/test_support.h"

namespace {

SIZE_T HeapSize(const CountedString& s) {
    return ::HeapSize(GetProcessHeap(), 0, s.block);
}

TEST(CountedString, BlocksGrowInStepsOfThirtyTwoCharacters) {
    EXPECT_EQ(CountedStringBlockSize(1), 72u);
    EXPECT_EQ(CountedStringBlockSize(31), 72u);
    EXPECT_EQ(CountedStringBlockSize(32), 136u);
    EXPECT_EQ(CountedStringBlockSize(63), 136u);
    EXPECT_EQ(CountedStringBlockSize(64), 200u);

    CountedString s = {};
    ASSERT_TRUE(ResizeCountedString(s, 31));
    EXPECT_EQ(HeapSize(s), 72u);
    ASSERT_TRUE(ResizeCountedString(s, 32));
    EXPECT_EQ(HeapSize(s), 136u);
    EXPECT_EQ(CountedChars(s)[32], 0);
    EXPECT_EQ(*static_cast<UINT64*>(s.block), 32u);
    FreeCountedString(s);
}

TEST(CountedString, ResizeWithinACapacityStepKeepsTheBlockAndZeroLeavesNone) {
    CountedString s = {};
    AssignCountedString(s, L"0123456789");
    void* block = s.block;
    static int reallocs = 0;
    reallocs = 0;
    {
        ScopedOverride count(kernel.HeapReAlloc,
                             [](HANDLE h, DWORD f, LPVOID p, SIZE_T n) -> LPVOID {
                                 ++reallocs;
                                 return ::HeapReAlloc(h, f, p, n);
                             });
        ASSERT_TRUE(ResizeCountedString(s, 20));
    }
    EXPECT_EQ(s.block, block);
    EXPECT_EQ(reallocs, 0);
    EXPECT_EQ(std::wstring(CountedText(s), 10), L"0123456789");
    EXPECT_EQ(CountedLength(s), 20u);

    ASSERT_TRUE(ResizeCountedString(s, 0));
    EXPECT_EQ(s.block, nullptr);
    EXPECT_STREQ(CountedText(s), L"");
}

TEST(CountedString, AssignAppendAndCopy) {
    AllocationCounter heap;
    CountedString s = {};
    AssignCountedString(s, L"abc");
    AppendCountedString(s, L"");
    AppendCountedString(s, L"def");
    EXPECT_STREQ(CountedText(s), L"abcdef");
    EXPECT_EQ(CountedLength(s), 6u);

    CountedString copy = {};
    CopyCountedString(copy, s);
    EXPECT_STREQ(CountedText(copy), L"abcdef");
    EXPECT_NE(copy.block, s.block);
    CopyCountedString(copy, copy);
    EXPECT_STREQ(CountedText(copy), L"abcdef");

    CountedString empty = {};
    CountedString target = {};
    CopyCountedString(target, empty);
    EXPECT_EQ(target.block, nullptr);

    AssignCountedString(s, L"");
    EXPECT_EQ(s.block, nullptr);
    AssignCountedString(copy, nullptr);
    EXPECT_EQ(copy.block, nullptr);
    EXPECT_EQ(heap.HeapBlocks(), 0);
}

TEST(CountedString, AppendingPastACapacityStepKeepsTheText) {
    CountedString s = {};
    std::wstring expected;
    for (int i = 0; i < 100; ++i) {
        AppendCountedString(s, L"xyz");
        expected += L"xyz";
    }
    EXPECT_EQ(std::wstring(CountedText(s)), expected);
    EXPECT_EQ(HeapSize(s), CountedStringBlockSize(300));
    FreeCountedString(s);
}

TEST(CountedString, FromAnsiConvertsAndLeavesNoneForEmptyText) {
    CountedString s = {};
    CountedStringFromAnsi(s, "Zantorelle printer");
    EXPECT_STREQ(CountedText(s), L"Zantorelle printer");
    EXPECT_EQ(CountedLength(s), 18u);
    FreeCountedString(s);

    CountedString none;
    none.block = reinterpret_cast<void*>(1);  // not looked at
    CountedStringFromAnsi(none, "");
    EXPECT_EQ(none.block, nullptr);
}

std::wstring DirectoryPart(const wchar_t* text) {
    CountedString source = {};
    AssignCountedString(source, text);
    CountedString target = {};
    CountedStringDirectoryPart(source, target);
    std::wstring result = target.block ? CountedText(target) : L"<none>";
    FreeCountedString(source);
    FreeCountedString(target);
    return result;
}

TEST(CountedString, DirectoryPart) {
    EXPECT_EQ(DirectoryPart(L"C:\\Setup\\zrlsetup.exe"), L"C:\\Setup");
    EXPECT_EQ(DirectoryPart(L"C:\\zrlsetup.exe"), L"C:");
    EXPECT_EQ(DirectoryPart(L"a\\b/c"), L"a");
    EXPECT_EQ(DirectoryPart(L"a/b/c"), L"a/b");
    EXPECT_EQ(DirectoryPart(L"\\file"), L"<none>");
    EXPECT_EQ(DirectoryPart(L"file"), L"<none>");
    EXPECT_EQ(DirectoryPart(L""), L"<none>");
}

TEST(CountedString, OutOfHeapKeepsTheOldText) {
    CountedString s = {};
    AssignCountedString(s, L"kept");
    {
        ScopedOverride fail(kernel.HeapReAlloc,
                            [](HANDLE, DWORD, LPVOID, SIZE_T) -> LPVOID { return nullptr; });
        AppendCountedString(s, std::wstring(40, L'x').c_str());
    }
    EXPECT_STREQ(CountedText(s), L"kept");
    FreeCountedString(s);
}

}  // namespace
