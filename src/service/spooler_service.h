// The print spooler service: make sure it runs, and stop it around work that
// needs its files released (the guard's end always starts it again).
#pragma once

#include <windows.h>

#include "core/install_run.h"

struct SpoolerRestart {
    InstallRun* run;
    SC_HANDLE manager;
    SC_HANDLE service;
    BYTE stopRequested;
};

bool StartSpoolerAndWait(SC_HANDLE service);
SpoolerRestart& BeginSpoolerRestart(SpoolerRestart& guard, InstallRun* run);
void EndSpoolerRestart(SpoolerRestart& guard);
bool CheckSpooler(InstallRun& run);
// A plain stop and start, after which the spooler has let go of the monitor
// and driver files it held; logged into `run` when one is given.
void RestartSpooler(InstallRun* run);
// For a run ended from outside while a scope that stopped the spooler is still
// open, on any thread: starts the spooler as the scope's end would have, and
// waits as long (the service to report running, at most 50 polls of 200 ms).
void StartSpoolerLeftStopped(InstallRun& run);

enum class SpoolerStart { Allowed, Disabled, Unknown };
// Whether an administrator disabled the spooler service (its start type);
// Unknown, with the last error, when it cannot be read.
SpoolerStart SpoolerStartType();

// Begins a restart for one scope and ends it on every way out of the scope.
class ScopedSpoolerRestart {
public:
    explicit ScopedSpoolerRestart(InstallRun* run) { BeginSpoolerRestart(guard_, run); }
    ~ScopedSpoolerRestart() { EndSpoolerRestart(guard_); }
    ScopedSpoolerRestart(const ScopedSpoolerRestart&) = delete;
    ScopedSpoolerRestart& operator=(const ScopedSpoolerRestart&) = delete;

private:
    SpoolerRestart guard_ = {};
};
