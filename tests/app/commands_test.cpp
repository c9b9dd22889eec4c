#include <gmock/gmock.h>

#include "app/entry.h"
#include "core/advapi_api.h"
#include "core/user_api.h"
#include "core/kernel_api.h"
#include "core/advapi_api.h"
#include "support/scoped_override.h"
#include "support/test_support.h"

namespace {

TEST(Commands, WordsMatchWholeWithAsciiCaseFolding) {
    EXPECT_EQ(MatchCommand(L"onInit"), Command::StartupCheck);
    EXPECT_EQ(MatchCommand(L"ONINIT"), Command::StartupCheck);
    EXPECT_EQ(MatchCommand(L"oNiNiT"), Command::StartupCheck);
    EXPECT_EQ(MatchCommand(L"un"), Command::Uninstall);
    EXPECT_EQ(MatchCommand(L"Un"), Command::Uninstall);
    EXPECT_EQ(MatchCommand(L"UnInstall"), Command::Uninstall);
    EXPECT_EQ(MatchCommand(L"RemoveTray"), Command::RemoveTray);
    EXPECT_EQ(MatchCommand(L"in"), Command::Install);
    EXPECT_EQ(MatchCommand(L"INSTALL"), Command::Install);
    EXPECT_EQ(MatchCommand(L"ServerInstall"), Command::Install);
    EXPECT_EQ(MatchCommand(L"def.set"), Command::DefaultPrinter);
    EXPECT_EQ(MatchCommand(L"Check"), Command::Check);

    EXPECT_EQ(MatchCommand(L"DEF.SET"), Command::None);
    EXPECT_EQ(MatchCommand(L"def.Set"), Command::None);
    EXPECT_EQ(MatchCommand(L"install2"), Command::None);
    EXPECT_EQ(MatchCommand(L"instal"), Command::None);
    EXPECT_EQ(MatchCommand(L"uninstal"), Command::None);
    EXPECT_EQ(MatchCommand(L"u"), Command::None);
    EXPECT_EQ(MatchCommand(L""), Command::None);
    EXPECT_EQ(MatchCommand(L"bogus"), Command::None);
    // Only A-Z fold: a Kelvin sign or a dotted capital I is not a letter of the words.
    EXPECT_EQ(MatchCommand(L"\u0130nstall"), Command::None);
    EXPECT_EQ(MatchCommand(L"in\u017Fstall"), Command::None);
}

struct WindowProbe {
    static inline HWND asked;
    static inline HWND existing;
};

TEST(Commands, ParentWindowIsASignedClampedDecimalThatMustNameAWindow) {
    ScopedOverride isWindow(user.IsWindow, [](HWND window) -> BOOL {
        WindowProbe::asked = window;
        return window == WindowProbe::existing;
    });
    WindowProbe::existing = reinterpret_cast<HWND>(static_cast<INT_PTR>(0x1234));
    EXPECT_EQ(ParseParentWindow(L"4660"), WindowProbe::existing);
    EXPECT_EQ(ParseParentWindow(L"  +4660xyz"), WindowProbe::existing);
    EXPECT_EQ(ParseParentWindow(L"\t4660"), WindowProbe::existing);
    EXPECT_EQ(ParseParentWindow(L"4661"), nullptr);

    auto asked = [](const wchar_t* text) {
        ParseParentWindow(text);
        return reinterpret_cast<INT_PTR>(WindowProbe::asked);
    };
    EXPECT_EQ(asked(L"letters"), 0);
    EXPECT_EQ(asked(L"0"), 0);
    EXPECT_EQ(asked(L"-"), 0);
    EXPECT_EQ(asked(L"-5"), -5);  // widened with its sign
    EXPECT_EQ(asked(L"2147483647"), 2147483647);
    EXPECT_EQ(asked(L"2147483648"), 2147483647);
    EXPECT_EQ(asked(L"99999999999999999999999"), 2147483647);
    EXPECT_EQ(asked(L"-2147483648"), INT_PTR{-2147483647} - 1);
    EXPECT_EQ(asked(L"-99999999999999999999"), INT_PTR{-2147483647} - 1);
}

TEST(Commands, DispatchWithoutAWordOrWithAnUnknownOneIsSix) {
    wchar_t program[] = L"zrlsetup.exe";
    wchar_t bogus[] = L"bogus";
    wchar_t* none[] = {program};
    wchar_t* unknown[] = {program, bogus};
    EXPECT_EQ(DispatchCommand(1, none), 6);
    EXPECT_EQ(DispatchCommand(0, nullptr), 6);
    EXPECT_EQ(DispatchCommand(2, unknown), 6);
}

struct HelpViewers {
    static inline int open;
    static inline int posts;
    static inline int sleeps;
};

TEST(Commands, CloseHelpWindowsAsksEachViewerUntilNoneIsLeft) {
    ScopedOverride find(user.FindWindowW, [](LPCWSTR cls, LPCWSTR title) -> HWND {
        EXPECT_STREQ(cls, L"HH Parent");
        EXPECT_STREQ(title, L"Zantorelle Help");
        return HelpViewers::open > 0 ? reinterpret_cast<HWND>(0x10 + HelpViewers::open) : nullptr;
    });
    ScopedOverride post(user.PostMessageW, [](HWND, UINT msg, WPARAM wp, LPARAM lp) -> BOOL {
        EXPECT_EQ(msg, UINT{WM_SYSCOMMAND});
        EXPECT_EQ(wp, WPARAM{SC_CLOSE});
        EXPECT_EQ(lp, 0);
        ++HelpViewers::posts;
        --HelpViewers::open;
        return TRUE;
    });
    ScopedOverride sleep(kernel.Sleep, [](DWORD ms) {
        EXPECT_EQ(ms, 50u);
        ++HelpViewers::sleeps;
    });
    HelpViewers::open = 2;
    HelpViewers::posts = 0;
    HelpViewers::sleeps = 0;
    CloseHelpWindows();
    EXPECT_EQ(HelpViewers::posts, 2);
    EXPECT_EQ(HelpViewers::sleeps, 2);

    // A viewer that never goes away must not hold the installer forever.
    ScopedOverride stubborn(user.PostMessageW, [](HWND, UINT, WPARAM, LPARAM) -> BOOL {
        ++HelpViewers::posts;
        return TRUE;
    });
    HelpViewers::open = 1;
    HelpViewers::posts = 0;
    CloseHelpWindows();
    EXPECT_EQ(HelpViewers::posts, 200);
}

// "check" refuses what an install would: an ARM64 machine, Windows protected
// print mode (policy or Settings), a disabled spooler; each with its line,
// all in one event, and 1 or 103. The components are the installed ones.
struct Checked {
    static inline USHORT machine;
    static inline DWORD startType;
    static inline std::wstring errors;
    static inline WORD type;
};

TEST(Commands, CheckRefusesWhatAnInstallWouldAndReportsItOnce) {
    ScopedOverride module(kernel.GetModuleFileNameW, [](HMODULE, LPWSTR path, DWORD chars) {
        lstrcpynW(path, (SetupDir() + L"\\zrlsetup.exe").c_str(), static_cast<int>(chars));
        return static_cast<DWORD>(lstrlenW(path));
    });
    ScopedOverride machine(kernel.IsWow64Process2, [](HANDLE, USHORT* process, USHORT* native) {
        *process = IMAGE_FILE_MACHINE_UNKNOWN;
        *native = Checked::machine;
        return TRUE;
    });
    ScopedOverride config(advapi.QueryServiceConfigW,
                          [](SC_HANDLE, LPQUERY_SERVICE_CONFIGW config, DWORD, LPDWORD) -> BOOL {
                              config->dwStartType = Checked::startType;
                              return TRUE;
                          });
    ScopedOverride report(
        advapi.ReportEventW,
        [](HANDLE, WORD type, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR* strings, void*) -> BOOL {
            Checked::type = type;
            Checked::errors = strings[3];
            return TRUE;
        });
    const wchar_t wpp[] = L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers\\WPP";
    struct Case {
        USHORT machine;
        const wchar_t* protectedPrint;
        DWORD startType;
        int code;
        std::wstring errors;
    };
    const Case cases[] = {
        {IMAGE_FILE_MACHINE_AMD64, nullptr, SERVICE_AUTO_START, kExitInstalled, L""},
        {IMAGE_FILE_MACHINE_ARM64, L"WindowsProtectedPrintGroupPolicyState", SERVICE_DISABLED,
         kExitRefused,
         L"Error(25): This machine's processor is ARM64: its print spooler cannot load the "
         L"product's x64 printer driver and port monitor\r\n"
         L"Error(26): Windows protected print mode is on (WindowsProtectedPrintGroupPolicyState "
         L"is 1 in HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers\\WPP): "
         L"Windows admits no printer drivers but its own; turn it off to install\r\n"
         L"Error(27): The print spooler service is disabled: an administrator must let it start "
         L"before the product can be installed" +
             ErrorTail(ERROR_SERVICE_DISABLED) + L"\r\n"},
        {IMAGE_FILE_MACHINE_AMD64, L"WindowsProtectedPrintMode", SERVICE_DEMAND_START, kExitRefused,
         L"Error(26): Windows protected print mode is on (WindowsProtectedPrintMode"},
    };
    for (const Case& c : cases) {
        Checked::machine = c.machine;
        Checked::startType = c.startType;
        DWORD on = 1;
        if (c.protectedPrint) {
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, wpp, c.protectedPrint, REG_DWORD, &on, sizeof(on));
        }
        const wchar_t* check[] = {L"zrlsetup.exe", L"check"};
        EXPECT_EQ(DispatchCommand(2, const_cast<wchar_t**>(check)), c.code);
        EXPECT_THAT(Checked::errors, testing::StartsWith(c.errors));
        EXPECT_EQ(Checked::type,
                  c.code == kExitInstalled ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_ERROR_TYPE);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, wpp);
    }
}

}  // namespace
