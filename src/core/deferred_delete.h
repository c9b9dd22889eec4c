// Files that could not be deleted during a run: retried at fixed points and
// finally handed to Windows for deletion at the next restart. Newest first,
// no duplicates (exact, case-sensitive), never an empty path.
#pragma once

#include "core/install_run.h"

struct DeferredDelete {
    wchar_t* path;
    DeferredDelete* next;
};

void AddDeferredDelete(DeferredDelete*& head, const wchar_t* path);
void RetryDeferredDeletes(InstallRun& run);
void ClearDeferredDeletes(DeferredDelete*& head);
