#include <gmock/gmock.h>

#include "app/runs.h"
#include "core/deferred_delete.h"
#include "core/kernel_api.h"
#include "support/scoped_override.h"
#include "support/test_support.h"

namespace {

constexpr char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingValue[] = L"PendingFileRenameOperations";

// The raw value, or empty when there is none.
std::wstring PendingRenames() {
    HKEY key = nullptr;
    std::wstring value;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return value;
    }
    DWORD bytes = 0;
    if (RegQueryValueExW(key, kPendingValue, nullptr, nullptr, nullptr, &bytes) == ERROR_SUCCESS) {
        value.resize(bytes / sizeof(wchar_t));
        RegQueryValueExW(key, kPendingValue, nullptr, nullptr, reinterpret_cast<BYTE*>(&value[0]),
                         &bytes);
    }
    RegCloseKey(key);
    return value;
}

void RemovePendingRenames() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) ==
        ERROR_SUCCESS) {
        RegDeleteValueW(key, kPendingValue);
        RegCloseKey(key);
    }
}

// Three leftovers, of which Windows refuses one: two are scheduled for real,
// the list is emptied. The end-to-end test restarts the prefix afterwards and
// checks that exactly those two are gone (ZRL_KEEP_SCHEDULED keeps them).
TEST(Scheduling, LeftoversGoToThePendingRenamesOfTheSystem) {
    const std::wstring dir = L"C:\\zrl-scheduled";
    CreateDirectoryW(dir.c_str(), nullptr);
    const std::wstring kept = dir + L"\\refused.dll";
    for (const wchar_t* name : {L"\\one.dll", L"\\refused.dll", L"\\three.dll"}) {
        WriteFileBytes(dir + name, "x");
    }
    ScopedOverride refuse(kernel.MoveFileExW, [](LPCWSTR from, LPCWSTR to, DWORD flags) -> BOOL {
        if (lstrcmpW(from, L"C:\\zrl-scheduled\\refused.dll") == 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        return ::MoveFileExW(from, to, flags);
    });
    InstallRun run = EmptyRun();
    AddDeferredDelete(run.deferredDeletes, (dir + L"\\one.dll").c_str());
    AddDeferredDelete(run.deferredDeletes, kept.c_str());
    AddDeferredDelete(run.deferredDeletes, (dir + L"\\three.dll").c_str());

    EXPECT_EQ(ScheduleLeftoverDeletes(run), 2u);
    EXPECT_EQ(run.deferredDeletes, nullptr);
    std::wstring pending = PendingRenames();
    EXPECT_THAT(pending, testing::HasSubstr(L"\\??\\C:\\zrl-scheduled\\three.dll"));
    EXPECT_THAT(pending, testing::HasSubstr(L"\\??\\C:\\zrl-scheduled\\one.dll"));
    EXPECT_THAT(pending, testing::Not(testing::HasSubstr(L"refused.dll")));
    // Until the restart the files stay where they are.
    EXPECT_TRUE(FileExists(dir + L"\\one.dll"));

    if (!GetEnvironmentVariableW(L"ZRL_KEEP_SCHEDULED", nullptr, 0)) {
        RemovePendingRenames();
        RemoveTree(dir);
    }
}

}  // namespace
