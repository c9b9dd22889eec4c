// What the end-to-end tests under Wine's msiexec cannot bring about: a failed
// upgrade, odd exit codes, an installer that does not start, an uninstall
// with errors.
#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "custom_action_api.h"
#include "setup_actions.h"
#include "support/scoped_override.h"

namespace {

std::wstring data;
std::vector<DWORD> exitCodes;  // one per started run; none: nothing starts
int started;
std::vector<std::wstring> lines;

struct FakeMsiexec {
    FakeMsiexec(const wchar_t* properties, std::vector<DWORD> codes) {
        data = std::wstring(L"C:\\Zantorelle\\Setup\\zrlsetup.exe") + properties;
        exitCodes = std::move(codes);
        started = 0;
        lines.clear();
    }
    ScopedOverride<decltype(customAction.MsiGetPropertyW)> data_{
        customAction.MsiGetPropertyW, [](MSIHANDLE, LPCWSTR, LPWSTR value, LPDWORD chars) -> UINT {
            wcsncpy(value, data.c_str(), *chars);
            return ERROR_SUCCESS;
        }};
    ScopedOverride<decltype(customAction.CreateProcessW)> start_{
        customAction.CreateProcessW,
        [](LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
           LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION process) -> BOOL {
            SetLastError(ERROR_FILE_NOT_FOUND);
            if (exitCodes.empty()) {
                return FALSE;
            }
            process->hProcess = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // has ended
            process->hThread = CreateEventW(nullptr, TRUE, TRUE, nullptr);
            return TRUE;
        }};
    ScopedOverride<decltype(customAction.GetExitCodeProcess)> exit_{
        customAction.GetExitCodeProcess, [](HANDLE, LPDWORD code) -> BOOL {
            *code = exitCodes.at(started++);
            return TRUE;
        }};
    ScopedOverride<decltype(customAction.MsiProcessMessage)> log_{
        customAction.MsiProcessMessage, [](MSIHANDLE, INSTALLMESSAGE, MSIHANDLE record) -> int {
            wchar_t text[512];
            DWORD chars = 512;
            MsiFormatRecordW(0, record, text, &chars);
            lines.push_back(text);
            return IDOK;
        }};
};

TEST(SetupActions, OnlyAFirstInstallCleansUpAndARemovalAlwaysSucceeds) {
    for (DWORD code : {0ul, 2ul, 6ul, 100ul, 0xC0000005ul}) {
        FakeMsiexec upgrade(L"||{0C1D2E3F-0000-4000-8000-000000000001}", {code});
        EXPECT_EQ(ZrlInstall(0), static_cast<UINT>(ERROR_INSTALL_FAILURE)) << code;
        EXPECT_EQ(started, 1) << code;
    }
    FakeMsiexec notStarted(L"||", {});
    EXPECT_EQ(ZrlInstall(0), static_cast<UINT>(ERROR_INSTALL_FAILURE));
    EXPECT_THAT(lines, testing::ElementsAre(L"Zantorelle: \"C:\\Zantorelle\\Setup\\zrlsetup.exe\" "
                                            L"install could not be started (error 2)."));
    for (auto codes : {std::vector<DWORD>{100}, std::vector<DWORD>{}}) {
        FakeMsiexec removal(L"", codes);
        EXPECT_EQ(ZrlUninstall(0), static_cast<UINT>(ERROR_SUCCESS));
        EXPECT_EQ(lines.back(), L"Zantorelle: the product is removed anyway.");
    }
}

}  // namespace
