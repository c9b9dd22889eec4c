#include <gmock/gmock.h>

#include "core/deferred_delete.h"
#include "core/run_log.h"
#include "core/kernel_api.h"
#include "support/scoped_override.h"
#include "support/test_support.h"
#include "core/handles.h"

namespace {

std::vector<std::wstring> Paths(const DeferredDelete* head) {
    std::vector<std::wstring> paths;
    for (; head; head = head->next) {
        paths.push_back(head->path);
    }
    return paths;
}

class DeferredDeleteTest : public testing::Test {
protected:
    void SetUp() override { dir_ = MakeTempDir(L"deferred"); }
    void TearDown() override {
        ClearDeferredDeletes(run_.deferredDeletes);
        FreeCountedString(run_.logText);
        RemoveTree(dir_);
    }
    std::wstring File(const wchar_t* name, bool create = true) {
        std::wstring path = dir_ + L"\\" + name;
        if (create) {
            WriteFileBytes(path, "x");
        }
        return path;
    }

    InstallRun run_ = EmptyRun();
    std::wstring dir_;
};

TEST_F(DeferredDeleteTest, NewestFirstWithoutExactDuplicatesOrEmptyPaths) {
    AllocationCounter blocks;
    AddDeferredDelete(run_.deferredDeletes, L"C:\\a.dll");
    AddDeferredDelete(run_.deferredDeletes, L"C:\\b.dll");
    AddDeferredDelete(run_.deferredDeletes, L"C:\\a.dll");
    AddDeferredDelete(run_.deferredDeletes, L"C:\\A.dll");
    AddDeferredDelete(run_.deferredDeletes, L"");
    AddDeferredDelete(run_.deferredDeletes, nullptr);
    AddDeferredDelete(run_.deferredDeletes, L"C:\\a.dl");
    EXPECT_THAT(Paths(run_.deferredDeletes),
                testing::ElementsAre(L"C:\\a.dl", L"C:\\A.dll", L"C:\\b.dll", L"C:\\a.dll"));
    EXPECT_EQ(blocks.GlobalBlocks(), 8);
    ClearDeferredDeletes(run_.deferredDeletes);
    EXPECT_EQ(run_.deferredDeletes, nullptr);
    EXPECT_EQ(blocks.GlobalBlocks(), 0);
    ClearDeferredDeletes(run_.deferredDeletes);
    EXPECT_EQ(run_.deferredDeletes, nullptr);
}

TEST_F(DeferredDeleteTest, NothingIsAddedWhenMemoryRunsOut) {
    AllocationCounter blocks;
    static int allocations = 0;
    allocations = 0;
    // The path copy succeeds, the node does not: the copy must not leak.
    ScopedOverride fail(kernel.GlobalAlloc, [](UINT flags, SIZE_T bytes) -> HGLOBAL {
        return ++allocations == 2 ? nullptr : ::GlobalAlloc(flags, bytes);
    });
    AddDeferredDelete(run_.deferredDeletes, L"C:\\a.dll");
    EXPECT_EQ(run_.deferredDeletes, nullptr);
}

TEST_F(DeferredDeleteTest, RetryDropsDeletedAndVanishedFilesAndKeepsTheRestInOrder) {
    std::wstring first = File(L"first.dll");
    std::wstring middle = File(L"middle.dll");
    std::wstring last = File(L"last.dll");
    std::wstring gone = File(L"gone.dll", false);
    std::wstring noFolder = dir_ + L"\\missing\\x.dll";
    // Locked for real: open without FILE_SHARE_DELETE.
    UniqueFile lockFirst(CreateFileW(first.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
    UniqueFile lockLast(CreateFileW(last.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lockFirst && lockLast);

    AddDeferredDelete(run_.deferredDeletes, noFolder.c_str());
    AddDeferredDelete(run_.deferredDeletes, last.c_str());
    AddDeferredDelete(run_.deferredDeletes, gone.c_str());
    AddDeferredDelete(run_.deferredDeletes, middle.c_str());
    AddDeferredDelete(run_.deferredDeletes, first.c_str());
    run_.logDepth = 2;
    RetryDeferredDeletes(run_);

    EXPECT_THAT(Paths(run_.deferredDeletes), testing::ElementsAre(first, last, noFolder));
    EXPECT_FALSE(FileExists(middle));
    EXPECT_EQ(LogOf(run_), L"    DeleteFile-try\r\n");
    EXPECT_EQ(run_.errorCount, 0);

    lockFirst.Reset();
    lockLast.Reset();
    RetryDeferredDeletes(run_);
    EXPECT_THAT(Paths(run_.deferredDeletes), testing::ElementsAre(noFolder));
}

TEST_F(DeferredDeleteTest, RetryThatDeletesEverythingLeavesNoneAndAnEmptyRetryOnlyLogs) {
    AddDeferredDelete(run_.deferredDeletes, File(L"one.dll").c_str());
    AddDeferredDelete(run_.deferredDeletes, File(L"two.dll").c_str());
    RetryDeferredDeletes(run_);
    EXPECT_EQ(run_.deferredDeletes, nullptr);
    RetryDeferredDeletes(run_);
    EXPECT_EQ(LogOf(run_), L"DeleteFile-try\r\nDeleteFile-try\r\n");
}

}  // namespace
