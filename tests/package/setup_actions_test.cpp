#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "custom_action_api.h"
#include "setup_actions.h"
#include "support/scoped_override.h"

using testing::ElementsAre;

namespace {

constexpr wchar_t kSetup[] = L"C:\\Program Files\\Zantorelle\\Setup\\zrlsetup.exe";

// What the actions asked of the system, and what it answers.
struct FakeMsiexec {
    std::wstring data;
    std::vector<DWORD> exitCodes;  // one per started run, in order
    DWORD startError = 0;
    std::vector<std::wstring> runs;  // "application name|command line"
    std::vector<std::wstring> log;
    int restartsRequested = 0;
};
FakeMsiexec fake;

class Msiexec {
public:
    explicit Msiexec(std::wstring data, std::vector<DWORD> exitCodes = {}) {
        fake = FakeMsiexec();
        fake.data = std::move(data);
        fake.exitCodes = std::move(exitCodes);
    }

private:
    ScopedOverride<decltype(customAction.MsiGetPropertyW)> property_{
        customAction.MsiGetPropertyW, [](MSIHANDLE, LPCWSTR, LPWSTR value, LPDWORD chars) -> UINT {
            wcsncpy(value, fake.data.c_str(), *chars);
            return ERROR_SUCCESS;
        }};
    ScopedOverride<decltype(customAction.CreateProcessW)> start_{
        customAction.CreateProcessW,
        [](LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
           BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION process) -> BOOL {
            fake.runs.push_back(std::wstring(application ? application : L"(none)") + L"|" +
                                commandLine);
            if (fake.startError) {
                SetLastError(fake.startError);
                return FALSE;
            }
            // Signalled events stand in for a process that has ended.
            process->hProcess = CreateEventW(nullptr, TRUE, TRUE, nullptr);
            process->hThread = CreateEventW(nullptr, TRUE, TRUE, nullptr);
            return TRUE;
        }};
    ScopedOverride<decltype(customAction.GetExitCodeProcess)> exitCode_{
        customAction.GetExitCodeProcess, [](HANDLE, LPDWORD code) -> BOOL {
            *code = fake.exitCodes.at(fake.runs.size() - 1);
            return TRUE;
        }};
    ScopedOverride<decltype(customAction.MsiProcessMessage)> message_{
        customAction.MsiProcessMessage,
        [](MSIHANDLE, INSTALLMESSAGE type, MSIHANDLE record) -> int {
            wchar_t text[512];
            DWORD chars = 512;
            MsiFormatRecordW(0, record, text, &chars);
            fake.log.push_back(type == INSTALLMESSAGE_INFO ? text : L"(not info)");
            return IDOK;
        }};
    ScopedOverride<decltype(customAction.MsiSetMode)> mode_{
        customAction.MsiSetMode, [](MSIHANDLE, MSIRUNMODE mode, BOOL state) -> UINT {
            fake.restartsRequested += mode == MSIRUNMODE_REBOOTATEND && state;
            return ERROR_SUCCESS;
        }};
};

std::wstring Started(const wchar_t* command) {
    return std::wstring(kSetup) + L"|\"" + kSetup + L"\" " + command;
}

std::wstring Ended(const wchar_t* command, const wchar_t* code) {
    return std::wstring(L"Zantorelle: \"") + kSetup + L"\" " + command + L" ended with exit code " +
           code + L".";
}

constexpr wchar_t kEventLog[] =
    L"Zantorelle: the installer wrote the log of this run to the Windows Application event log "
    L"(source \"Zantorelle Setup\").";

TEST(ZrlInstall, FailedFirstInstallTakesItselfBackAndFails) {
    Msiexec msiexec(std::wstring(kSetup) + L"||", {100, 2});
    EXPECT_EQ(ZrlInstall(0), static_cast<UINT>(ERROR_INSTALL_FAILURE));
    EXPECT_THAT(fake.runs, ElementsAre(Started(L"install"), Started(L"uninstall")));
    EXPECT_THAT(fake.log,
                ElementsAre(Ended(L"install", L"100"), kEventLog,
                            L"Zantorelle: the first install failed; what it left in the spooler "
                            L"is removed.",
                            Ended(L"uninstall", L"2")));
}

TEST(ZrlInstall, FailedRepairOrUpgradeKeepsWhatIsThere) {
    for (const wchar_t* properties : {L"|1|", L"||{0C1D2E3F-0000-4000-8000-000000000001}", L""}) {
        Msiexec msiexec(kSetup + std::wstring(properties), {100});
        EXPECT_EQ(ZrlInstall(0), static_cast<UINT>(ERROR_INSTALL_FAILURE)) << properties;
        EXPECT_THAT(fake.runs, ElementsAre(Started(L"install"))) << properties;
    }
}

TEST(ZrlInstall, OnlyTheInstallersSuccessCodesSucceed) {
    for (DWORD code : {0ul, 2ul, 6ul, 0xC0000005ul}) {
        Msiexec msiexec(std::wstring(kSetup) + L"|1|", {code});
        EXPECT_EQ(ZrlInstall(0), static_cast<UINT>(ERROR_INSTALL_FAILURE)) << code;
    }
    Msiexec msiexec(std::wstring(kSetup) + L"||", {1});
    EXPECT_EQ(ZrlInstall(0), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_THAT(fake.log, ElementsAre(Ended(L"install", L"1")));
}

TEST(ZrlInstall, InstallerThatCannotStartFailsWithoutCleanUp) {
    Msiexec msiexec(std::wstring(kSetup) + L"||");
    fake.startError = ERROR_FILE_NOT_FOUND;
    EXPECT_EQ(ZrlInstall(0), static_cast<UINT>(ERROR_INSTALL_FAILURE));
    EXPECT_THAT(fake.runs, ElementsAre(Started(L"install")));
    EXPECT_THAT(fake.log, ElementsAre(std::wstring(L"Zantorelle: \"") + kSetup +
                                      L"\" install could not be started (error 2)."));
}

TEST(ZrlUninstall, ProductIsRemovedWhateverTheInstallerReports) {
    Msiexec msiexec(kSetup, {100});
    EXPECT_EQ(ZrlUninstall(0), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_THAT(fake.log, ElementsAre(Ended(L"uninstall", L"100"), kEventLog,
                                      L"Zantorelle: the product is removed anyway."));

    Msiexec notStarted(kSetup);
    fake.startError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(ZrlUninstall(0), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(fake.log.back(), L"Zantorelle: the product is removed anyway.");

    Msiexec tray(kSetup, {6});
    EXPECT_EQ(ZrlRemoveTray(0), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_THAT(fake.runs, ElementsAre(Started(L"removetray")));
}

// A deferred action cannot set the restart mode itself; the check after
// InstallFinalize does it once for it.
TEST(ZrlRestartCheck, SetsTheRestartModeThatARunAskedFor) {
    for (auto action : {&ZrlInstall, &ZrlUninstall}) {
        Msiexec msiexec(kSetup, {101});
        EXPECT_EQ(action(0), static_cast<UINT>(ERROR_SUCCESS));
        EXPECT_EQ(fake.log.back(),
                  L"Zantorelle: files are deleted at the next restart; a restart is requested.");
        EXPECT_EQ(ZrlRestartCheck(0), static_cast<UINT>(ERROR_SUCCESS));
        EXPECT_EQ(ZrlRestartCheck(0), static_cast<UINT>(ERROR_SUCCESS));
        EXPECT_EQ(fake.restartsRequested, 1);
        EXPECT_EQ(GlobalFindAtomW(kRestartAtom), 0);
    }
}

}  // namespace
