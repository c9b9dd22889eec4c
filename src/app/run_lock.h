// One install or uninstall at a time on a machine. Deployment tools start the
// same package twice, and users double-click: a second run waits for the
// first, and so do "onInit", "def.set" and "removetray" before they act. Only
// administrators and SYSTEM can make or open the lock: a standard user who
// could hold it would stall every deployment.
#pragma once

#include <windows.h>

#include "core/handles.h"
#include "core/product.h"

// Holds the lock for one scope, from the wait on.
class ScopedRunLock {
public:
    ScopedRunLock();
    ~ScopedRunLock() { Release(); }
    ScopedRunLock(const ScopedRunLock&) = delete;
    ScopedRunLock& operator=(const ScopedRunLock&) = delete;

    // True when the wait ran out while another run still held the lock.
    bool TimedOut() const { return timedOut_; }
    // Why the lock could not be had at all, or 0: the run then goes on
    // without it, and its log says so.
    DWORD Unavailable() const { return unavailable_; }
    void Release();

private:
    UniqueHandle mutex_;
    UniqueNamespace namespace_;
    bool owned_ = false;
    bool timedOut_ = false;
    DWORD unavailable_ = 0;
};
