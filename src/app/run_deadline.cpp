#include "app/run_deadline.h"

#include "app/event_log.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "service/spooler_service.h"

DWORD runDeadlineMs = kRunDeadlineMinutes * 60 * 1000;
DWORD runReportMs = 30 * 1000;

namespace {

// Written by the run's thread, read by the watch's: one pointer, swapped whole.
void* volatile currentStep = const_cast<wchar_t*>(L"setting up the run");

}  // namespace

void EnterRunStep(const wchar_t* step) {
    InterlockedExchangePointer(&currentStep, const_cast<wchar_t*>(step));
}

RunDeadline::RunDeadline(InstallRun& run, Command command) : run_(run), command_(command) {
    EnterRunStep(L"setting up the run");
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stop_) {
        thread_ = CreateThread(nullptr, 0, &Watch, this, 0, nullptr);
    }
}

void RunDeadline::BeginReport() {
    if (!thread_) {
        return;
    }
    LockRunLog();
    bool fired = fired_;
    reporting_ = !fired;
    UnlockRunLog();
    // The watch is writing the log and reporting the run: it ends the process.
    if (fired) {
        WaitForSingleObject(thread_, INFINITE);
    }
}

void RunDeadline::Stop() {
    if (!thread_) {
        return;
    }
    // Under the log's lock: the watch decides under it whether it fires.
    LockRunLog();
    stopped_ = true;
    UnlockRunLog();
    SetEvent(stop_);
    // A watch that fires ends the process: then the wait does not come back.
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(stop_);
    thread_ = nullptr;
    stop_ = nullptr;
}

DWORD WINAPI RunDeadline::Watch(void* self) {
    auto* deadline = static_cast<RunDeadline*>(self);
    // Not through the kernel table: tests that make waits return at once must
    // not make every run pass its deadline.
    if (WaitForSingleObject(deadline->stop_, runDeadlineMs) == WAIT_TIMEOUT) {
        deadline->Fire();
    }
    return 0;
}

DWORD WINAPI RunDeadline::Report(void* self) {
    auto* deadline = static_cast<RunDeadline*>(self);
    ReportRun(deadline->run_, deadline->command_, kExitErrorsLogged);
    return 0;
}

void RunDeadline::Fire() {
    // A run that stopped its watch in time is done; one that did not will
    // wait in BeginReport() or Stop() until the process ends.
    LockRunLog();
    bool stopped = stopped_;
    bool reporting = reporting_;
    fired_ = !stopped;
    UnlockRunLog();
    if (stopped) {
        return;
    }
    // The run's own report did not end in time (the event log does not
    // answer): its log is being read, and another report would wait as long.
    if (reporting) {
        LockRunLog();
        kernel.TerminateProcess(GetCurrentProcess(), kExitErrorsLogged);
        return;
    }
    SetLastError(ERROR_TIMEOUT);
    LogError(run_, 28, "The run did not end within %d minutes: it was still %s",
             static_cast<int>(runDeadlineMs / 60000), static_cast<const wchar_t*>(currentStep));
    // The scope that stopped the spooler ends only on the run's thread, which
    // never gets there now.
    StartSpoolerLeftStopped(run_);
    // The run's own thread writes no more lines: the report takes the log whole.
    LockRunLog();
    // The event log may not answer: the report gets a thread of its own and a
    // bounded wait (not through the kernel table, as in Watch); no thread to be
    // had means no report, never a process that stays.
    HANDLE report = CreateThread(nullptr, 0, &Report, this, 0, nullptr);
    if (report) {
        WaitForSingleObject(report, runReportMs);
        CloseHandle(report);
    }
    // Not ExitProcess: the run's thread may hold a lock inside the spooler
    // client that a DLL's detach would wait for.
    kernel.TerminateProcess(GetCurrentProcess(), kExitErrorsLogged);
}
