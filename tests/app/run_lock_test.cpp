#include <gmock/gmock.h>

#include "app/entry.h"
#include "app/run_lock.h"
#include "app/runs.h"
#include "core/user_api.h"
#include "core/kernel_api.h"
#include "core/advapi_api.h"
#include "support/scoped_override.h"
#include "support/test_support.h"

#include <sddl.h>
#include "core/session_api.h"

namespace {

// Another installer on the machine, holding the lock, or killed while it held it.
class OtherRun : public MutexOnThread {
public:
    explicit OtherRun(bool killed) : MutexOnThread(kRunLockName, killed) {}
};

struct Waits {
    static inline std::vector<DWORD> asked;
    static inline std::vector<DWORD> results;
    static inline int procedures;
    static inline int managers;
    static inline std::wstring log;
};

// The real wait, cut short: ten minutes are not waited for in a test.
DWORD WINAPI ShortWait(HANDLE object, DWORD ms) {
    Waits::asked.push_back(ms);
    DWORD result = WaitForSingleObject(object, 100);
    Waits::results.push_back(result);
    return result;
}

void Counted(InstallRun&) {
    ++Waits::procedures;
}

class RunLockTest : public testing::Test {
protected:
    RunLockTest() {
        Waits::asked.clear();
        Waits::results.clear();
        Waits::procedures = 0;
        Waits::managers = 0;
        Waits::log.clear();
    }

    ScopedOverride<decltype(kernel.WaitForSingleObject)> wait_{kernel.WaitForSingleObject,
                                                               &ShortWait};
    ScopedOverride<decltype(user.DialogBoxParamW)> dialog_{
        user.DialogBoxParamW, [](HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM param) -> INT_PTR {
            Waits::log = LogOf(*reinterpret_cast<InstallRun*>(param));
            return 1;
        }};
    ScopedOverride<decltype(advapi.OpenSCManagerW)> manager_{
        advapi.OpenSCManagerW, [](LPCWSTR, LPCWSTR, DWORD) -> SC_HANDLE {
            ++Waits::managers;
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }};
};

TEST_F(RunLockTest, ARunThatWaitsInVainChangesNothingAndSaysWhy) {
    OtherRun other(false);
    AllocationCounter blocks;
    DWORD scheduled = 99;
    EXPECT_TRUE(RunWithProcedure(&Counted, Command::Install, nullptr, &scheduled));
    EXPECT_EQ(Waits::asked, std::vector<DWORD>{10 * 60 * 1000});
    EXPECT_EQ(Waits::procedures, 0);
    EXPECT_EQ(Waits::managers, 0);  // not even the spooler check
    EXPECT_EQ(scheduled, 0u);
    EXPECT_EQ(Waits::log,
              L"Zantorelle 2026\r\n"
              L"Error(20): Another install or uninstall is still running after 10 "
              L"minutes" +
                  ErrorTail(WAIT_TIMEOUT) + L"\r\n");
    EXPECT_EQ(blocks.HeapBlocks(), 0);
    EXPECT_EQ(blocks.GlobalBlocks(), 0);
}

TEST_F(RunLockTest, TheNextRunGoesOnOnceTheOtherEndsOrIsKilled) {
    { OtherRun other(false); }
    DWORD scheduled = 0;
    RunWithProcedure(&Counted, Command::Install, nullptr, &scheduled);
    EXPECT_EQ(Waits::procedures, 1);

    OtherRun killed(true);
    RunWithProcedure(&Counted, Command::Install, nullptr, &scheduled);
    EXPECT_EQ(Waits::procedures, 2);
    EXPECT_EQ(Waits::results[1], WAIT_ABANDONED);
    // And the lock was let go again: a third run does not wait in vain.
    RunWithProcedure(&Counted, Command::Install, nullptr, &scheduled);
    EXPECT_EQ(Waits::procedures, 3);
}

// The commands without a run wait the same way and keep their exit codes.
TEST_F(RunLockTest, CommandsWithoutARunWaitTooAndKeepTheirCodes) {
    OtherRun other(false);
    ScopedOverride noTray(kernel.CreateMutexA, [](LPSECURITY_ATTRIBUTES, BOOL, LPCSTR) -> HANDLE {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    });
    ScopedOverride noRunKey(advapi.RegOpenKeyExA,
                            [](HKEY, LPCSTR, DWORD, REGSAM, PHKEY) -> LSTATUS { return 5; });
    const wchar_t* removeTray[] = {L"zrlsetup.exe", L"removetray"};
    const wchar_t* defaultSet[] = {L"zrlsetup.exe", L"def.set"};
    const wchar_t* startupCheck[] = {L"zrlsetup.exe", L"onInit"};
    EXPECT_EQ(DispatchCommand(2, const_cast<wchar_t**>(removeTray)), kExitTrayRemoved);
    EXPECT_EQ(DispatchCommand(2, const_cast<wchar_t**>(defaultSet)), kExitDefaultSet);
    // Nothing pending and no product printer as the default in the test prefix.
    EXPECT_EQ(DispatchCommand(2, const_cast<wchar_t**>(startupCheck)), kExitDefaultNotProduct);
    EXPECT_EQ(Waits::results, std::vector<DWORD>(3, WAIT_TIMEOUT));
}

}  // namespace

namespace {

// Where a standard user made the lock first, or barred it, or where the
// private namespace works (Windows; Wine has none): only administrators' and
// SYSTEM's lock is taken, and a run that cannot have it says so.
struct Namespace {
    static inline std::wstring mutexName;
    static inline std::wstring accessList;
    static inline bool administratorsBoundary;
    static inline DWORD createError;
};

// The access list a lock is made with, as SDDL: "(none)" without one.
std::wstring AccessList(LPSECURITY_ATTRIBUTES security) {
    LPWSTR text = nullptr;
    if (!security || !ConvertSecurityDescriptorToStringSecurityDescriptorW(
                         security->lpSecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                         &text, nullptr)) {
        return L"(none)";
    }
    std::wstring sddl = text;
    LocalFree(text);
    return sddl;
}

constexpr wchar_t kAdministratorsAndSystem[] = L"D:P(A;;GA;;;BA)(A;;GA;;;SY)";

TEST_F(RunLockTest, OnlyAnAdministratorsLockIsTakenAndARunWithoutOneSaysSo) {
    auto run = []() {
        Waits::procedures = 0;
        DWORD scheduled = 0;
        RunWithProcedure(&Counted, Command::Install, nullptr, &scheduled);
        return Waits::procedures == 1 ? Waits::log : L"(no run)";
    };
    std::wstring unavailable = L"Error(29): Can`t have the run lock: this run goes on without it";
    {
        ScopedOverride barred(kernel.CreateMutexW,
                              [](LPSECURITY_ATTRIBUTES security, BOOL, LPCWSTR name) {
                                  Namespace::mutexName = name;
                                  Namespace::accessList = AccessList(security);
                                  SetLastError(ERROR_ACCESS_DENIED);
                                  return HANDLE{};
                              });
        EXPECT_THAT(run(),
                    testing::EndsWith(unavailable + ErrorTail(ERROR_ACCESS_DENIED) + L"\r\n"));
        // Without namespaces (Wine), the global name, never without its access list.
        EXPECT_EQ(Namespace::mutexName, kRunLockName);
        EXPECT_EQ(Namespace::accessList, kAdministratorsAndSystem);
    }
    {
        OtherRun squatter(false);
        ScopedOverride standardUser(
            advapi.GetSecurityInfo,
            [](HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL*, PACL*,
               PSECURITY_DESCRIPTOR* descriptor) -> DWORD {
                ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1001", owner);
                *descriptor = *owner;
                return ERROR_SUCCESS;
            });
        EXPECT_THAT(run(),
                    testing::EndsWith(unavailable + ErrorTail(ERROR_ACCESS_DENIED) + L"\r\n"));
        EXPECT_TRUE(Waits::asked.empty());
    }
    {
        // The same lock, made by an earlier run of this account: what an
        // administrator makes is owned by the token's default owner, not its user.
        OtherRun earlier(false);
        ScopedOverride owner(advapi.GetSecurityInfo,
                             [](HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*,
                                PACL*, PACL*, PSECURITY_DESCRIPTOR* descriptor) -> DWORD {
                                 ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1001", owner);
                                 *descriptor = *owner;
                                 return ERROR_SUCCESS;
                             });
        ScopedOverride defaultOwner(advapi.GetTokenInformation,
                                    [](HANDLE token, TOKEN_INFORMATION_CLASS type, void* info,
                                       DWORD bytes, DWORD* needed) -> BOOL {
                                        if (type != TokenOwner) {
                                            return GetTokenInformation(token, type, info, bytes,
                                                                       needed);
                                        }
                                        PSID sid = nullptr;
                                        ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1001", &sid);
                                        auto* owner = static_cast<TOKEN_OWNER*>(info);
                                        owner->Owner = owner + 1;
                                        CopySid(bytes - sizeof(TOKEN_OWNER), owner->Owner, sid);
                                        LocalFree(sid);
                                        return TRUE;
                                    });
        EXPECT_THAT(run(), testing::Not(testing::HasSubstr(L"Error(29)")));
        EXPECT_EQ(Waits::asked.size(), 1u);
    }
    ScopedOverride boundary(kernel.CreateBoundaryDescriptorW,
                            [](LPCWSTR, ULONG) { return reinterpret_cast<HANDLE>(0x10); });
    ScopedOverride sid(kernel.AddSIDToBoundaryDescriptor, [](HANDLE*, PSID sid) -> BOOL {
        Namespace::administratorsBoundary = IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
        return TRUE;
    });
    ScopedOverride made(kernel.CreatePrivateNamespaceW,
                        [](LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR) -> HANDLE {
                            SetLastError(Namespace::createError);
                            return nullptr;
                        });
    ScopedOverride opened(kernel.OpenPrivateNamespaceW,
                          [](LPVOID, LPCWSTR) { return reinterpret_cast<HANDLE>(0x20); });
    ScopedOverride closed(kernel.ClosePrivateNamespace,
                          [](HANDLE, ULONG) -> BOOLEAN { return TRUE; });
    ScopedOverride deleted(kernel.DeleteBoundaryDescriptor, [](HANDLE) {});
    ScopedOverride mutex(kernel.CreateMutexW,
                         [](LPSECURITY_ATTRIBUTES security, BOOL, LPCWSTR name) -> HANDLE {
                             Namespace::mutexName = name;
                             Namespace::accessList = AccessList(security);
                             return CreateMutexW(nullptr, FALSE, nullptr);
                         });
    Namespace::createError = ERROR_ALREADY_EXISTS;
    EXPECT_EQ(run(),
              L"Zantorelle 2026\r\n>Check Spooler\r\n  Error(1): Can't open service "
              L"manager." +
                  ErrorTail(ERROR_ACCESS_DENIED) + L"\r\n");
    EXPECT_EQ(Namespace::mutexName, L"Zantorelle Setup\\run");
    EXPECT_EQ(Namespace::accessList, kAdministratorsAndSystem);
    EXPECT_TRUE(Namespace::administratorsBoundary);
    // A standard user is not within the boundary: Windows refuses it the namespace.
    Namespace::createError = ERROR_ACCESS_DENIED;
    EXPECT_THAT(run(), testing::EndsWith(unavailable + ErrorTail(ERROR_ACCESS_DENIED) + L"\r\n"));
}

}  // namespace
