#include "app/event_log.h"

#include "core/advapi_api.h"
#include "core/counted_string.h"
#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "zrlsetup_messages.h"
#include "core/user_api.h"

namespace {

void Deregister(HANDLE source) {
    advapi.DeregisterEventSource(source);
}
using UniqueEventSource = Unique<HANDLE, &Deregister>;

struct Outcome {
    Command command;  // None: any run
    int exitCode;
    WORD type;
    DWORD messageId;
    const char* meaning;  // ASCII, kept narrow: the executable must stay within 64 KiB
};

// Room for the longest meaning below and its terminator; the copy never
// writes more.
constexpr int kMeaningChars = 80;

// The last entry also stands for any code not listed.
constexpr Outcome kOutcomes[] = {
    {Command::Check, kExitInstalled, EVENTLOG_INFORMATION_TYPE, MSG_CHECK_PASSED,
     "an install could go ahead"},
    {Command::Check, kExitRefused, EVENTLOG_ERROR_TYPE, MSG_CHECK_REFUSED,
     "an install would be refused before it changed anything"},
    {Command::None, kExitInstalled, EVENTLOG_INFORMATION_TYPE, MSG_RUN_SUCCEEDED,
     "install finished without errors"},
    {Command::None, kExitUninstalled, EVENTLOG_INFORMATION_TYPE, MSG_RUN_SUCCEEDED,
     "uninstall finished without errors"},
    {Command::None, kExitRebootScheduled, EVENTLOG_WARNING_TYPE, MSG_RUN_NEEDS_RESTART,
     "no errors; leftover files are scheduled for deletion at the next restart"},
    {Command::None, kExitRefused, EVENTLOG_ERROR_TYPE, MSG_RUN_REFUSED,
     "the install was refused before it changed anything"},
    {Command::None, kExitErrorsLogged, EVENTLOG_ERROR_TYPE, MSG_RUN_FAILED,
     "the run logged errors"},
};

const Outcome& OutcomeOf(Command command, int exitCode) {
    for (const Outcome& outcome : kOutcomes) {
        if ((outcome.command == Command::None || outcome.command == command) &&
            outcome.exitCode == exitCode) {
            return outcome;
        }
    }
    return kOutcomes[sizeof(kOutcomes) / sizeof(kOutcomes[0]) - 1];
}

const wchar_t* CommandWord(Command command) {
    switch (command) {
        case Command::Uninstall:
            return L"uninstall";
        case Command::Check:
            return L"check";
        default:
            return L"install";
    }
}

void RegisterSource() {
    wchar_t path[kPathBufferChars];
    DWORD n = kernel.GetModuleFileNameW(moduleInstance, path, kSystemPathChars);
    // A cut path would name another file.
    if (n == 0 || n >= kSystemPathChars) {
        return;
    }
    UniqueKey key;
    if (advapi.RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE,
                               nullptr, key.Put(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    advapi.RegSetValueExW(key.Get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(path), (n + 1) * sizeof(wchar_t));
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    advapi.RegSetValueExW(key.Get(), L"TypesSupported", 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&types), sizeof(types));
}

void AppendChars(CountedString& s, const wchar_t* chars, SIZE_T count) {
    SIZE_T length = CountedLength(s);
    if (ResizeCountedString(s, length + count)) {
        CopyMemory(CountedChars(s) + length, chars, count * sizeof(wchar_t));
    }
}

// The error lines of the log without their indentation, so that the event
// shows them first: the log itself may be long.
void CollectErrorLines(const CountedString& log, CountedString& errors) {
    for (const wchar_t* next = CountedText(log); *next;) {
        const wchar_t* line = next;
        while (*line == L' ') {
            ++line;
        }
        next = line;
        while (*next && *next++ != L'\n') {
        }
        if (AfterPrefix(line, L"Error(")) {
            AppendChars(errors, line, next - line);
        }
    }
}

// The text as the event takes it: itself when it fits in `limit`, else its
// beginning and the marker, built in `cut`.
const wchar_t* FitToEvent(const CountedString& text, SIZE_T limit, CountedString& cut) {
    if (CountedLength(text) <= limit) {
        return CountedText(text);
    }
    AppendChars(cut, CountedChars(text), limit - (sizeof(kEventCutMarker) / sizeof(wchar_t) - 1));
    AppendCountedString(cut, kEventCutMarker);
    return CountedText(cut);
}

void Report(const Outcome& outcome, const wchar_t* command, const wchar_t* errors,
            const wchar_t* log) {
    wchar_t code[16];
    user.wsprintfW(code, L"%d", outcome.exitCode);
    wchar_t meaning[kMeaningChars];
    user.wsprintfW(meaning, L"%.79hs", outcome.meaning);
    const wchar_t* strings[] = {command, code, meaning, errors, log};
    UniqueEventSource source(advapi.RegisterEventSourceW(nullptr, kEventSource));
    if (source) {
        advapi.ReportEventW(source.Get(), outcome.type, 0, outcome.messageId, nullptr,
                            sizeof(strings) / sizeof(strings[0]), 0, strings, nullptr);
    }
}

}  // namespace

void ReportRun(const InstallRun& run, Command command, int exitCode) {
    // A check changes nothing, not even the registration: before a first
    // install its event has no message table, and Event Viewer shows its strings.
    if (command == Command::Install) {
        RegisterSource();
    }
    CountedString errors = {};
    CountedString cutErrors = {};
    CountedString cutLog = {};
    CollectErrorLines(run.logText, errors);
    const wchar_t* errorText = FitToEvent(errors, kEventTextChars / 2, cutErrors);
    SIZE_T room = kEventTextChars - kernel.lstrlenW(errorText);
    Report(OutcomeOf(command, exitCode), CommandWord(command), errorText,
           FitToEvent(run.logText, room, cutLog));
    FreeCountedString(cutLog);
    FreeCountedString(cutErrors);
    FreeCountedString(errors);
    if (command == Command::Uninstall) {
        advapi.RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    }
}
