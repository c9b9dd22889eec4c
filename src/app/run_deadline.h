// No install or uninstall hangs: a spooler call may block for as long as the
// spooler likes (a driver stuck in it, an RPC that never returns). A watch
// thread ends a run that has not finished its work kRunDeadlineMinutes after
// it got the run lock: it logs which step the run was in, starts the spooler
// if the run had it stopped, reports the run to the event log (for at most
// runReportMs) and ends the process with exit code 100. The journal brings
// back, at the next install, whatever printers were in transit.
#pragma once

#include "app/entry.h"
#include "core/handles.h"
#include "core/install_run.h"

// The deadline in milliseconds; tests shorten it.
extern DWORD runDeadlineMs;
// How long a passed deadline waits for its own report before it ends the
// process regardless; tests shorten it.
extern DWORD runReportMs;

// Names the step a run is in now, for the line a passed deadline writes;
// `step` is a constant ASCII text ("removing the printer driver"), kept
// narrow: the executable must stay within 64 KiB.
void EnterRunStep(const char* step);

// Watches one run from construction to Stop() (or destruction). A watch that
// cannot be started (no thread to be had) leaves the run without a deadline.
class RunDeadline {
public:
    RunDeadline(InstallRun& run, Command command);
    ~RunDeadline() { Stop(); }
    RunDeadline(const RunDeadline&) = delete;
    RunDeadline& operator=(const RunDeadline&) = delete;

    // Called before the run reads its log whole to report it: from then on a
    // deadline that passes ends the process without a line of its own (the
    // report is what it would have written). Once the deadline has fired, it
    // does not return.
    void BeginReport();
    // Ends the watch; once the deadline has fired, it does not return.
    void Stop();

private:
    static DWORD WINAPI Watch(void* self);
    static DWORD WINAPI Report(void* self);
    void Fire();

    InstallRun& run_;
    Command command_;
    UniqueHandle stop_;
    UniqueHandle thread_;
    bool stopped_ = false;
    bool reporting_ = false;
    bool fired_ = false;
};
