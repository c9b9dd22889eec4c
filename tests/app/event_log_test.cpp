#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "app/event_log.h"
#include "core/advapi_api.h"
#include "app/runs.h"
#include "core/user_api.h"
#include "core/deferred_delete.h"
#include "core/kernel_api.h"
#include "core/run_log.h"
#include "support/scoped_override.h"
#include "support/test_support.h"

using testing::EndsWith;
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

// The event as Event Viewer formats it with the shipped installer's message
// table (the source this test program registers names the test program).
std::wstring EventViewerText() {
    HMODULE exe =
        LoadLibraryExW((SetupDir() + L"\\zrlsetup.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    std::vector<DWORD_PTR> args;
    for (const std::wstring& s : Seen::strings) {
        args.push_back(reinterpret_cast<DWORD_PTR>(s.c_str()));
    }
    wchar_t text[2048] = L"(no text)";
    FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, exe, Seen::id, 0,
                   text, 2048, reinterpret_cast<va_list*>(args.data()));
    FreeLibrary(exe);
    return text;
}

class EventLogTest : public testing::Test {
protected:
    ScopedOverride<decltype(advapi.ReportEventW)> report_{
        advapi.ReportEventW,
        [](HANDLE, WORD type, WORD, DWORD id, PSID, WORD count, DWORD, LPCWSTR* strings,
           void*) -> BOOL {
            Seen::order += L"report ";
            Seen::type = type;
            Seen::id = id;
            Seen::strings.assign(strings, strings + count);
            return TRUE;
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
    SetLastError(0);
    LogError(run, kErrorRemoveDriver, L"Zantorelle printer");
    run.logDepth = 0;
}
void Leftover(InstallRun& run) {
    AddDeferredDelete(run.deferredDeletes, L"C:\\zrl-leftover.dll");
}
void Clean(InstallRun&) {}

TEST_F(EventLogTest, EachOutcomeIsReportedBeforeTheDialogAsEventViewerShowsIt) {
    struct Case {
        RunProcedure procedure;
        Command command;
        WORD type;
        const wchar_t* order;
        const wchar_t* text;
    };
    const Case cases[] = {
        {&Failing, Command::Install, EVENTLOG_ERROR_TYPE, L"report dialog ",
         L"Zantorelle Setup: the install run logged errors.\r\n"
         L"Exit code 100: the run logged errors.\r\n\r\n"
         L"Errors:\r\n"
         L"Error(14): Can`t remove the printer-driver 'Zantorelle printer'\r\n\r\n"
         L"Log of the run:\r\n"
         L"Zantorelle 2026\r\n>Check Spooler\r\n"
         L"    Error(14): Can`t remove the printer-driver 'Zantorelle printer'\r\n"},
        {&Leftover, Command::Install, EVENTLOG_WARNING_TYPE, L"report ",
         L"Zantorelle Setup: the install run finished without errors; files it could not delete "
         L"wait for the next restart.\r\nExit code 101: no errors; leftover files are scheduled "
         L"for deletion at the next restart.\r\n\r\nLog of the run:\r\nZantorelle 2026\r\n"},
        {&Clean, Command::Uninstall, EVENTLOG_INFORMATION_TYPE, L"report ",
         L"Zantorelle Setup: the uninstall run finished without errors.\r\n"
         L"Exit code 2: uninstall finished without errors.\r\n\r\nLog of the run:\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Seen::order.clear();
        DWORD scheduled = 0;
        RunWithProcedure(c.procedure, c.command, nullptr, &scheduled);
        EXPECT_EQ(Seen::order, c.order);
        EXPECT_EQ(Seen::type, c.type);
        EXPECT_THAT(EventViewerText(), StartsWith(c.text));
    }
}

// More than an event holds: the error lines take at most half, the log the
// rest, each cut with the marker.
void Verbose(InstallRun& run) {
    for (int i = 0; i < 400; ++i) {
        SetLastError(0);
        LogError(run, kErrorAddPrinter, std::wstring(100, L'p').c_str());
    }
}

TEST_F(EventLogTest, NeitherAFailingEventLogNorALongLogChangeTheRun) {
    AllocationCounter blocks;
    DWORD scheduled = 0;
    RunWithProcedure(&Verbose, Command::Install, nullptr, &scheduled);
    ASSERT_EQ(Seen::strings.size(), 5u);
    EXPECT_EQ(Seen::strings[3].size(), kEventTextChars / 2);
    EXPECT_EQ(Seen::strings[3].size() + Seen::strings[4].size(), kEventTextChars);
    EXPECT_THAT(Seen::strings[3], EndsWith(kEventCutMarker));
    EXPECT_THAT(Seen::strings[4], EndsWith(kEventCutMarker));
    EXPECT_EQ(Seen::strings[4].substr(0, 1000), Seen::dialogLog.substr(0, 1000));
    const std::wstring wholeLog = Seen::dialogLog;

    Seen::order.clear();
    ScopedOverride noKey(advapi.RegCreateKeyExW,
                         [](HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                            PHKEY, LPDWORD) -> LSTATUS { return ERROR_ACCESS_DENIED; });
    ScopedOverride noSource(advapi.RegisterEventSourceW,
                            [](LPCWSTR, LPCWSTR) -> HANDLE { return nullptr; });
    EXPECT_TRUE(RunWithProcedure(&Verbose, Command::Install, nullptr, &scheduled));
    EXPECT_EQ(Seen::order, L"dialog ");
    EXPECT_EQ(Seen::dialogLog, wholeLog);
    EXPECT_EQ(blocks.HeapBlocks(), 0);
}

}  // namespace
