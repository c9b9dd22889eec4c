#include "app/run_lock.h"

#include "core/kernel_api.h"

ScopedRunLock::ScopedRunLock() {
    mutex_ = kernel.CreateMutexW(nullptr, FALSE, kRunLockName);
    if (!mutex_) {
        return;
    }
    DWORD waited = kernel.WaitForSingleObject(mutex_, kRunLockWaitMinutes * 60 * 1000);
    // Abandoned: the run that held it was killed. The lock is this run's
    // now, and whatever that run left half done is for this one to mend.
    owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    timedOut_ = waited == WAIT_TIMEOUT;
}

void ScopedRunLock::Release() {
    if (owned_) {
        ReleaseMutex(mutex_);
        owned_ = false;
    }
    if (mutex_) {
        CloseHandle(mutex_);
        mutex_ = nullptr;
    }
}
