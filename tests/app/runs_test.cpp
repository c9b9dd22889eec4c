#include <gmock/gmock.h>

#include "app/runs.h"
#include "app/user_api.h"
#include "core/deferred_delete.h"
#include "core/kernel_api.h"
#include "core/run_log.h"
#include "support/scoped_override.h"
#include "support/test_support.h"

namespace {

// What the dialog would have shown, captured instead of opening it.
struct Shown {
    static inline int dialogs;
    static inline HWND owner;
    static inline std::wstring log;
    static inline bool shift;
    static inline bool visibleStation;
};

class RunsTest : public testing::Test {
protected:
    RunsTest()
        : dialog_(user.DialogBoxParamW,
                  [](HINSTANCE, LPCWSTR id, HWND owner, DLGPROC, LPARAM param) -> INT_PTR {
                      EXPECT_EQ(id, MAKEINTRESOURCEW(101));
                      ++Shown::dialogs;
                      Shown::owner = owner;
                      Shown::log = LogOf(*reinterpret_cast<InstallRun*>(param));
                      return 1;
                  }),
          shift_(user.GetAsyncKeyState,
                 [](int key) -> SHORT {
                     EXPECT_EQ(key, VK_SHIFT);
                     return Shown::shift ? SHORT(0x8000) : SHORT(0);
                 }),
          station_(user.GetUserObjectInformationW,
                   [](HANDLE, int index, PVOID info, DWORD size, LPDWORD) -> BOOL {
                       EXPECT_EQ(index, UOI_FLAGS);
                       EXPECT_EQ(size, sizeof(USEROBJECTFLAGS));
                       static_cast<USEROBJECTFLAGS*>(info)->dwFlags =
                           Shown::visibleStation ? WSF_VISIBLE : 0;
                       return TRUE;
                   }) {
        Shown::dialogs = 0;
        Shown::owner = nullptr;
        Shown::log.clear();
        Shown::shift = false;
        Shown::visibleStation = true;
    }

    ScopedOverride<decltype(user.DialogBoxParamW)> dialog_;
    ScopedOverride<decltype(user.GetAsyncKeyState)> shift_;
    ScopedOverride<decltype(user.GetUserObjectInformationW)> station_;
};

void Clean(InstallRun&) {}
void Failing(InstallRun& run) {
    SetLastError(0);
    LogError(run, 13, L"Can`t install a printer driver 'Zantorelle printer'");
}

HWND Owner() {
    return reinterpret_cast<HWND>(static_cast<INT_PTR>(0x5678));
}

TEST_F(RunsTest, CleanRunShowsNothingAndFreesEverything) {
    AllocationCounter blocks;
    DWORD scheduled = 99;
    EXPECT_FALSE(RunWithProcedure(&Clean, Command::Install, nullptr, &scheduled));
    EXPECT_EQ(scheduled, 0u);
    EXPECT_EQ(Shown::dialogs, 0);
    EXPECT_EQ(blocks.HeapBlocks(), 0);
    EXPECT_EQ(blocks.GlobalBlocks(), 0);
}

TEST_F(RunsTest, ShiftShowsTheLogOfACleanRunOwnedByTheParent) {
    Shown::shift = true;
    DWORD scheduled = 0;
    EXPECT_FALSE(RunWithProcedure(&Clean, Command::Install, Owner(), &scheduled));
    EXPECT_EQ(Shown::dialogs, 1);
    EXPECT_EQ(Shown::owner, Owner());
    EXPECT_EQ(Shown::log, L"Zantorelle 2026\r\n>Check Spooler\r\n");
}

TEST_F(RunsTest, ErrorsAlwaysShowTheLogAndMakeTheResultTrue) {
    AllocationCounter blocks;
    DWORD scheduled = 0;
    EXPECT_TRUE(RunWithProcedure(&Failing, Command::Install, nullptr, &scheduled));
    EXPECT_EQ(Shown::dialogs, 1);
    EXPECT_EQ(Shown::owner, nullptr);
    EXPECT_THAT(
        Shown::log,
        testing::EndsWith(L"Error(13): Can`t install a printer driver 'Zantorelle printer'\r\n"));
    EXPECT_EQ(blocks.HeapBlocks(), 0);
    EXPECT_EQ(blocks.GlobalBlocks(), 0);
}

TEST_F(RunsTest, NoDialogWhereNobodyCanSeeIt) {
    Shown::visibleStation = false;
    Shown::shift = true;
    DWORD scheduled = 0;
    EXPECT_TRUE(RunWithProcedure(&Failing, Command::Install, nullptr, &scheduled));
    EXPECT_EQ(Shown::dialogs, 0);
}

struct Scheduling {
    static inline std::vector<std::wstring> asked;
};

void ThreeLeftovers(InstallRun& run) {
    AddDeferredDelete(run.deferredDeletes, L"C:\\one.dll");
    AddDeferredDelete(run.deferredDeletes, L"C:\\refused.dll");
    AddDeferredDelete(run.deferredDeletes, L"C:\\three.dll");
}

TEST_F(RunsTest, LeftoversAreScheduledNewestFirstAndOnlySuccessesCount) {
    AllocationCounter blocks;
    ScopedOverride move(kernel.MoveFileExW, [](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
        EXPECT_EQ(to, nullptr);
        EXPECT_EQ(flags, DWORD{MOVEFILE_DELAY_UNTIL_REBOOT});
        Scheduling::asked.push_back(from);
        return lstrcmpW(from, L"C:\\refused.dll") != 0;
    });
    Scheduling::asked.clear();
    DWORD scheduled = 0;
    EXPECT_FALSE(RunWithProcedure(&ThreeLeftovers, Command::Install, nullptr, &scheduled));
    EXPECT_EQ(scheduled, 2u);
    EXPECT_THAT(Scheduling::asked,
                testing::ElementsAre(L"C:\\three.dll", L"C:\\refused.dll", L"C:\\one.dll"));
    EXPECT_EQ(Shown::dialogs, 0);
    EXPECT_EQ(blocks.GlobalBlocks(), 0);
}

}  // namespace
