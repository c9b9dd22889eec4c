#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "app/event_log.h"
#include "app/event_log_api.h"
#include "app/runs.h"
#include "app/user_api.h"
#include "core/deferred_delete.h"
#include "core/kernel_api.h"
#include "core/run_log.h"
#include "support/scoped_override.h"
#include "support/test_support.h"
#include "zrlsetup_messages.h"

using testing::StartsWith;

namespace {

// What reached the event log and the dialog, in order.
struct Seen {
    static inline std::wstring order;
    static inline WORD type;
    static inline DWORD id;
    static inline std::vector<std::wstring> strings;
    static inline std::wstring dialogLog;
};

// The registered source, as Event Viewer finds it: "<type> <message file>".
std::wstring Registration() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return L"(none)";
    }
    wchar_t file[MAX_PATH] = {};
    DWORD type = 0, bytes = sizeof(file), types = 0, typesBytes = sizeof(types);
    RegQueryValueExW(key, L"EventMessageFile", nullptr, &type, reinterpret_cast<BYTE*>(file),
                     &bytes);
    RegQueryValueExW(key, L"TypesSupported", nullptr, nullptr, reinterpret_cast<BYTE*>(&types),
                     &typesBytes);
    RegCloseKey(key);
    return std::to_wstring(type) + L" " + file + L" " + std::to_wstring(types);
}

// The event's text as Event Viewer formats it from the shipped installer's
// message table (the source registered here names the test program).
std::wstring EventViewerText() {
    HMODULE exe =
        LoadLibraryExW((SetupDir() + L"\\zrlsetup.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    std::vector<DWORD_PTR> args;
    for (const std::wstring& s : Seen::strings) {
        args.push_back(reinterpret_cast<DWORD_PTR>(s.c_str()));
    }
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                   exe, Seen::id, 0, reinterpret_cast<wchar_t*>(&text), 0,
                   reinterpret_cast<va_list*>(args.data()));
    std::wstring result = text ? text : L"(no text)";
    LocalFree(text);
    FreeLibrary(exe);
    return result;
}

class EventLogTest : public testing::Test {
protected:
    // Other runs of this program register the source too.
    EventLogTest() {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
        Seen::order.clear();
        Seen::strings.clear();
        Seen::dialogLog.clear();
    }
    ~EventLogTest() override { RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey); }

    ScopedOverride<decltype(eventLog.ReportEventW)> report_{
        eventLog.ReportEventW,
        [](HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD count, DWORD dataSize,
           LPCWSTR* strings, void*) -> BOOL {
            EXPECT_NE(source, nullptr);
            EXPECT_EQ(category, 0);
            EXPECT_EQ(dataSize, 0u);
            EXPECT_EQ(user, nullptr);
            Seen::order += L"report ";
            Seen::type = type;
            Seen::id = id;
            Seen::strings.assign(strings, strings + count);
            return TRUE;
        }};
    ScopedOverride<decltype(eventLog.RegDeleteKeyW)> unregister_{
        eventLog.RegDeleteKeyW, [](HKEY root, LPCWSTR key) -> LSTATUS {
            Seen::order += L"unregister ";
            return ::RegDeleteKeyW(root, key);
        }};
    ScopedOverride<decltype(user.DialogBoxParamW)> dialog_{
        user.DialogBoxParamW, [](HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM run) -> INT_PTR {
            Seen::order += L"dialog ";
            Seen::dialogLog = LogOf(*reinterpret_cast<InstallRun*>(run));
            return 1;
        }};
    ScopedOverride<decltype(kernel.MoveFileExW)> schedule_{
        kernel.MoveFileExW, [](LPCWSTR, LPCWSTR, DWORD) -> BOOL { return TRUE; }};
};

void Failing(InstallRun& run) {
    run.logDepth = 2;
    LogLine(run, L">DeletePrinterDriver");
    SetLastError(0);
    LogError(run, 14, L"Can`t remove the printer-driver 'Zantorelle printer'");
    run.logDepth = 0;
}
void Clean(InstallRun&) {}
void Leftover(InstallRun& run) {
    AddDeferredDelete(run.deferredDeletes, L"C:\\zrl-leftover.dll");
}

std::wstring ThisProgram() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

TEST_F(EventLogTest, FailedInstallRegistersTheSourceAndReportsItsErrorsBeforeTheDialog) {
    DWORD scheduled = 0;
    EXPECT_TRUE(RunWithProcedure(&Failing, Command::Install, nullptr, &scheduled));

    EXPECT_EQ(Seen::order, L"report dialog ");
    EXPECT_EQ(Registration(), L"2 " + ThisProgram() + L" 7");  // REG_EXPAND_SZ; error|warning|info
    EXPECT_EQ(Seen::type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(EventViewerText(),
              L"Zantorelle Setup: the install run logged errors.\r\n"
              L"Exit code 100: the run logged errors.\r\n\r\n"
              L"Errors:\r\n"
              L"Error(14): Can`t remove the printer-driver 'Zantorelle printer'\r\n\r\n"
              L"Log of the run:\r\n"
              L"Zantorelle 2026\r\n>Check Spooler\r\n"
              L"    >DeletePrinterDriver\r\n"
              L"    Error(14): Can`t remove the printer-driver 'Zantorelle printer'\r\n");
    EXPECT_EQ(Seen::strings.back(), Seen::dialogLog);
}

TEST_F(EventLogTest, EachOutcomeHasItsTypeTextAndExitCodeAndUninstallUnregistersAfterward) {
    struct Case {
        RunProcedure procedure;
        Command command;
        WORD type;
        const wchar_t* order;
        const wchar_t* text;
    };
    const Case cases[] = {
        {&Clean, Command::Install, EVENTLOG_INFORMATION_TYPE, L"report ",
         L"Zantorelle Setup: the install run finished without errors.\r\n"
         L"Exit code 1: install finished without errors.\r\n"},
        {&Leftover, Command::Install, EVENTLOG_WARNING_TYPE, L"report ",
         L"Zantorelle Setup: the install run finished without errors; files it could not delete "
         L"wait for the next restart.\r\nExit code 101: no errors; leftover files are scheduled "
         L"for deletion at the next restart.\r\n"},
        {&Clean, Command::Uninstall, EVENTLOG_INFORMATION_TYPE, L"report unregister ",
         L"Zantorelle Setup: the uninstall run finished without errors.\r\n"
         L"Exit code 2: uninstall finished without errors.\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Seen::order.clear();
        DWORD scheduled = 0;
        RunWithProcedure(c.procedure, c.command, nullptr, &scheduled);
        EXPECT_EQ(Seen::order, c.order);
        EXPECT_EQ(Seen::type, c.type);
        EXPECT_THAT(EventViewerText(), StartsWith(c.text));
        EXPECT_THAT(Seen::strings.back(), StartsWith(L"Zantorelle 2026\r\n"));
    }
    EXPECT_EQ(Registration(), L"(none)");
}

TEST_F(EventLogTest, FailingEventLogCallsChangeNothingAboutTheRun) {
    ScopedOverride noKey(eventLog.RegCreateKeyExW,
                         [](HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                            PHKEY, LPDWORD) -> LSTATUS { return ERROR_ACCESS_DENIED; });
    ScopedOverride noSource(eventLog.RegisterEventSourceW,
                            [](LPCWSTR, LPCWSTR) -> HANDLE { return nullptr; });
    AllocationCounter blocks;
    DWORD scheduled = 7;

    EXPECT_TRUE(RunWithProcedure(&Failing, Command::Install, nullptr, &scheduled));

    EXPECT_EQ(scheduled, 0u);
    EXPECT_EQ(Seen::order, L"dialog ");
    EXPECT_THAT(Seen::dialogLog,
                testing::EndsWith(L"    Error(14): Can`t remove the printer-driver 'Zantorelle "
                                  L"printer'\r\n"));
    EXPECT_EQ(Registration(), L"(none)");
    EXPECT_EQ(blocks.HeapBlocks(), 0);
}

// More than an event holds: the errors take at most half, the log the rest,
// each cut with the marker; the run's own log stays whole.
void Verbose(InstallRun& run) {
    for (int i = 0; i < 400; ++i) {
        SetLastError(0);
        LogError(run, 15, L"Can`t add printer '%s'", std::wstring(100, L'p').c_str());
    }
}

TEST_F(EventLogTest, TooLongAnEventIsCutWithAMarker) {
    AllocationCounter blocks;
    DWORD scheduled = 0;
    RunWithProcedure(&Verbose, Command::Install, nullptr, &scheduled);

    ASSERT_EQ(Seen::strings.size(), 5u);
    const std::wstring& errors = Seen::strings[3];
    const std::wstring& log = Seen::strings[4];
    EXPECT_EQ(errors.size(), kEventTextChars / 2);
    EXPECT_EQ(errors.size() + log.size(), kEventTextChars);
    EXPECT_THAT(errors, testing::EndsWith(kEventCutMarker));
    EXPECT_THAT(log, testing::EndsWith(kEventCutMarker));
    EXPECT_EQ(log.substr(0, 1000), Seen::dialogLog.substr(0, 1000));
    EXPECT_GT(Seen::dialogLog.size(), 400u * 100);
    EXPECT_EQ(blocks.HeapBlocks(), 0);
}

}  // namespace
