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
void* volatile currentStep = const_cast<char*>("setting up the run");

}  // namespace

void EnterRunStep(const char* step) {
    InterlockedExchangePointer(&currentStep, const_cast<char*>(step));
}

RunDeadline::RunDeadline(InstallRun& run, Command command) : run_(run), command_(command) {
    EnterRunStep("setting up the run");
    stop_.Reset(kernel.CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (stop_) {
        thread_.Reset(kernel.CreateThread(nullptr, 0, &Watch, this, 0, nullptr));
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
        kernel.WaitForSingleObjectEx(thread_.Get(), INFINITE, FALSE);
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
    kernel.SetEvent(stop_.Get());
    // A watch that fires ends the process: then the wait does not come back.
    kernel.WaitForSingleObjectEx(thread_.Get(), INFINITE, FALSE);
    thread_.Reset();
    stop_.Reset();
}

DWORD WINAPI RunDeadline::Watch(void* self) {
    auto* deadline = static_cast<RunDeadline*>(self);
    // WaitForSingleObjectEx, not the entry tests make return at once: they
    // must not make every run pass its deadline.
    if (kernel.WaitForSingleObjectEx(deadline->stop_.Get(), runDeadlineMs, FALSE) == WAIT_TIMEOUT) {
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
        kernel.TerminateProcess(kernel.GetCurrentProcess(), kExitErrorsLogged);
        return;
    }
    kernel.SetLastError(ERROR_TIMEOUT);
    // %hs: the step's text is narrow (wvsprintfW's single-byte string).
    LogError(run_, kErrorRunDeadline, static_cast<int>(runDeadlineMs / 60000),
             static_cast<const char*>(currentStep));
    // The scope that stopped the spooler ends only on the run's thread, which
    // never gets there now.
    StartSpoolerLeftStopped(run_);
    // The run's own thread writes no more lines: the report takes the log whole.
    LockRunLog();
    // The event log may not answer: the report gets a thread of its own and a
    // bounded wait (WaitForSingleObjectEx, as in Watch); no thread to be
    // had means no report, never a process that stays.
    UniqueHandle report(kernel.CreateThread(nullptr, 0, &Report, this, 0, nullptr));
    if (report) {
        kernel.WaitForSingleObjectEx(report.Get(), runReportMs, FALSE);
    }
    // Not ExitProcess: the run's thread may hold a lock inside the spooler
    // client that a DLL's detach would wait for.
    kernel.TerminateProcess(kernel.GetCurrentProcess(), kExitErrorsLogged);
}
