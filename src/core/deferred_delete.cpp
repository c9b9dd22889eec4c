#include "core/deferred_delete.h"

#include "core/kernel_api.h"
#include "core/run_log.h"
#include "core/handles.h"

namespace {

bool SamePath(const wchar_t* a, const wchar_t* b) {
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

wchar_t* CopyPath(const wchar_t* path) {
    int n = kernel.lstrlenW(path);
    wchar_t* copy = static_cast<wchar_t*>(AllocGlobal((n + 1) * sizeof(wchar_t)));
    if (copy) {
        kernel.lstrcpyW(copy, path);
    }
    return copy;
}

void FreeNode(DeferredDelete* node) {
    FreeGlobal(node->path);
    FreeGlobal(node);
}

}  // namespace

void AddDeferredDelete(DeferredDelete*& head, const wchar_t* path) {
    if (!path || !*path) {
        return;
    }
    for (DeferredDelete* node = head; node; node = node->next) {
        if (SamePath(node->path, path)) {
            return;
        }
    }
    UniqueGlobal copy(CopyPath(path));
    auto* node = static_cast<DeferredDelete*>(AllocGlobal(sizeof(DeferredDelete)));
    if (!copy || !node) {
        FreeGlobal(node);
        return;
    }
    node->path = static_cast<wchar_t*>(copy.Release());
    node->next = head;
    head = node;
}

void RetryDeferredDeletes(InstallRun& run) {
    LogLine(run, "DeleteFile-try");
    DeferredDelete** link = &run.deferredDeletes;
    while (DeferredDelete* node = *link) {
        // A file that is already gone needs no restart; any other failure
        // (a missing folder, a lock, no access) keeps the entry for later.
        if (kernel.DeleteFileW(node->path) || kernel.GetLastError() == ERROR_FILE_NOT_FOUND) {
            *link = node->next;
            FreeNode(node);
        } else {
            link = &node->next;
        }
    }
}

void ClearDeferredDeletes(DeferredDelete*& head) {
    while (DeferredDelete* node = head) {
        head = node->next;
        FreeNode(node);
    }
}
