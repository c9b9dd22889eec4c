#include "app/signed_in_users.h"

#include <new>

#include "app/entry.h"
#include "app/runs.h"
#include "core/session_api.h"
#include "app/user_steps.h"
#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "spooler/winspool_api.h"
#include "core/advapi_api.h"
#include "core/user_api.h"

namespace {

// The steps of a round run at once and share this bound, so that a terminal
// server's many users wait no longer than one; a step still running then is
// ended.
constexpr DWORD kStepWaitMs = 30000;
// What CreateProcess takes as a command line.
constexpr int kCommandLineChars = 32767;
// The interactive desktop of the token's session: the process is made there.
constexpr wchar_t kUserDesktop[] = L"winsta0\\default";

// A step's arguments and its whole command line: one run at a time, and far
// too large for the stack.
wchar_t arguments[kCommandLineChars + 1];
wchar_t commandLine[kCommandLineChars + 1];

// Appends ` "text"` at `length`, or ` ""` for a text that cannot be quoted as
// it is (a quote in it, or a backslash at its end); false, with nothing
// appended, when it does not fit.
bool AppendArgument(wchar_t* line, int& length, const wchar_t* text) {
    int chars = kernel.lstrlenW(text);
    if (length + chars + 3 > kCommandLineChars) {
        return false;
    }
    bool quotable = !chars || text[chars - 1] != L'\\';
    for (int i = 0; i < chars; ++i) {
        quotable = quotable && text[i] != L'"';
    }
    length += user.wsprintfW(line + length, L" \"%s\"", quotable ? text : L"");
    return true;
}

namespace session_detail {
inline void FreeEnvironment(void* block) {
    userenv.DestroyEnvironmentBlock(block);
}
}  // namespace session_detail
using UniqueUserEnvironment = Unique<void*, &session_detail::FreeEnvironment>;

// Starts the installer itself, from its own folder, as the session's user,
// with `arguments` (the command word first). Sets the session's process, or
// its error.
void StartStep(const InstallRun& run, UserSession& session) {
    // The program's whole path in quotes, so that nothing else is looked for.
    commandLine[0] = L'"';
    kernel.GetModuleFileNameW(moduleInstance, commandLine + 1, kSystemPathChars);
    kernel.lstrcatW(kernel.lstrcatW(commandLine, L"\""), arguments);
    // The user's own variables over the installer's, the layer among them.
    UniqueUserEnvironment environment;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = const_cast<LPWSTR>(kUserDesktop);
    PROCESS_INFORMATION process = {};
    session.process = nullptr;
    if (userenv.CreateEnvironmentBlock(environment.Put(), session.token.Get(), TRUE) &&
        advapi.CreateProcessAsUserW(
            session.token.Get(), nullptr, commandLine, nullptr, nullptr, FALSE,
            CREATE_UNICODE_ENVIRONMENT, environment.Get(),
            CountedLength(run.sourceDir) ? CountedText(run.sourceDir) : nullptr, &startup,
            &process)) {
        CloseHandle(process.hThread);
        session.process = process.hProcess;
    }
    session.error = session.process ? 0 : kernel.GetLastError();
}

// The answer of a session's step: its exit code, or kStepFailed with the
// error of a start or a read that failed. False when there is none: no step,
// or one that did not end within the round's time (ended, and said here).
bool StepAnswer(InstallRun& run, UserSession& session, DWORD started, DWORD& code) {
    UniqueHandle process(session.process);
    session.process = nullptr;
    code = kStepFailed | session.error;
    if (!process) {
        return session.error != 0;
    }
    DWORD elapsed = kernel.GetTickCount() - started;
    DWORD waited = kernel.WaitForSingleObject(process.Get(),
                                              elapsed < kStepWaitMs ? kStepWaitMs - elapsed : 0);
    if (waited != WAIT_OBJECT_0) {
        DWORD error = waited == WAIT_TIMEOUT ? WAIT_TIMEOUT : kernel.GetLastError();
        kernel.TerminateProcess(process.Get(), ERROR_TIMEOUT);
        kernel.SetLastError(error);
        LogError(run, kErrorUserStepTimedOut, static_cast<int>(session.id),
                 static_cast<int>(kStepWaitMs / 1000));
        return false;
    }
    if (!kernel.GetExitCodeProcess(process.Get(), &code)) {
        code = kStepFailed | kernel.GetLastError();
    }
    return true;
}

// Every session the system lists, each with its user's token when it has one
// (said in the log when it has none).
bool ListSessions(InstallRun& run, SignedInUsers& users) {
    WTS_SESSION_INFOW* info = nullptr;
    DWORD count = 0;
    if (wtsapi.WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) {
        users.sessions = static_cast<UserSession*>(AllocGlobal(count * sizeof(UserSession) + 1));
        users.count = users.sessions ? count : 0;
        for (DWORD i = 0; i < users.count; ++i) {
            UserSession& session = *new (&users.sessions[i]) UserSession{};
            session.id = info[i].SessionId;
            // A failed query does not promise to leave the handle alone.
            if (!wtsapi.WTSQueryUserToken(session.id, session.token.Put())) {
                session.token.Release();
                LogLine(run, "Session %d: no user's token (%d)", static_cast<int>(session.id),
                        static_cast<int>(kernel.GetLastError()));
            }
        }
        wtsapi.WTSFreeMemory(info);
        if (users.sessions) {
            return true;
        }
        kernel.SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    LogError(run, kErrorListSessions);
    return false;
}

// The asking steps' arguments: the names of the printers of the run's
// snapshot, in its order (those that fit): the step's answer k is the entry
// k - 1.
UINT32 AskedNames(const InstallRun& run) {
    int length = user.wsprintfW(arguments, L" %s", kDefaultStepWord);
    UINT32 count = 0;
    while (
        count < run.printerCount &&
        AppendArgument(arguments, length,
                       run.printers[count].pPrinterName ? run.printers[count].pPrinterName : L"")) {
        ++count;
    }
    return count;
}

// One round: the step of each session with a user's token, all started, then
// each answer read within the round's one bound. The asking round gives the
// first `asked` names of the snapshot.
void Round(InstallRun& run, SignedInUsers& users, bool restore, UINT32 asked) {
    for (DWORD i = 0; i < users.count; ++i) {
        UserSession& session = users.sessions[i];
        if (restore) {
            // Only a name the asking round passed whole can have been answered.
            user.wsprintfW(
                arguments, L" %s \"%s\"", kRestoreStepWord,
                session.defaultEntry ? run.printers[session.defaultEntry - 1].pPrinterName : L"");
        }
        if (session.token) {
            StartStep(run, session);
        }
    }
    DWORD started = kernel.GetTickCount();
    for (DWORD i = 0; i < users.count; ++i) {
        UserSession& session = users.sessions[i];
        int id = static_cast<int>(session.id);
        DWORD code = 0;
        if (!StepAnswer(run, session, started, code)) {
            continue;
        }
        // The k-th name asked about, or (restore) 1: the default is given back.
        DWORD answer = code - kStepDone;
        if (answer > (restore ? 1 : asked)) {
            // What the step answered with kStepFailed, or whatever else it
            // ended with (a crash's status).
            DWORD error = (code & 0xE0000000) == kStepFailed ? code & 0xFFFF : code;
            kernel.SetLastError(error ? error : ERROR_INVALID_DATA);
            LogError(run, restore ? kErrorRestoreUserDefault : kErrorLearnUserDefault, id);
            continue;
        }
        // Only a product printer's name is of use to the restore.
        if (!restore) {
            session.defaultEntry =
                answer && IsProductDriver(run.printers[answer - 1].pDriverName) ? answer : 0;
        }
        if (answer && session.defaultEntry) {
            LogLine(run, "Session %d: the default printer is '%s'%s", id,
                    run.printers[session.defaultEntry - 1].pPrinterName, restore ? L" again" : L"");
        }
    }
}

}  // namespace

void AskSignedInUsers(InstallRun& run, SignedInUsers& users) {
    if (!RunsAsLocalSystem()) {
        return;
    }
    BindSessionTables();
    UINT32 asked = AskedNames(run);
    // The installer's manifest asks for administrators, and CreateProcessAsUser
    // refuses such a program a user's unelevated token (ERROR_ELEVATION_REQUIRED).
    // The RunAsInvoker compatibility layer runs the steps with the token as it
    // is: they need no right the user lacks. The steps' environments inherit it
    // from the installer's; no other process the installer starts as SYSTEM does.
    kernel.SetEnvironmentVariableW(L"__COMPAT_LAYER", L"RunAsInvoker");
    LogLine(run, ">Asking the signed-in users for their default printers");
    ++run.logDepth;
    if (ListSessions(run, users)) {
        Round(run, users, false, asked);
    }
    --run.logDepth;
}

void RestoreSignedInUsers(InstallRun& run, SignedInUsers& users) {
    if (!users.sessions) {
        return;
    }
    LogLine(run, ">Restoring the signed-in users' default printers and settings");
    ++run.logDepth;
    Round(run, users, true, 0);
    --run.logDepth;
}

void FreeSignedInUsers(SignedInUsers& users) {
    for (DWORD i = 0; i < users.count; ++i) {
        users.sessions[i].~UserSession();
    }
    FreeGlobal(users.sessions);
    users.sessions = nullptr;
    users.count = 0;
}
