#include "app/entry.h"

#include "core/user_api.h"
#include "core/kernel_api.h"

namespace {
// A viewer that ignores the request would keep an unattended install waiting
// forever; after ten seconds the run goes ahead and replaces the help file
// under it (the viewer holds it open for reading, which a copy tolerates).
constexpr int kMaxCloseRequests = 200;
constexpr DWORD kCloseWaitMs = 50;
}  // namespace

void CloseHelpWindows() {
    for (int i = 0; i < kMaxCloseRequests; ++i) {
        HWND viewer = user.FindWindowW(L"HH Parent", L"Zantorelle Help");
        if (!viewer) {
            return;
        }
        // Posted, not sent: the viewer may be busy, and the installer must not wait on it.
        user.PostMessageW(viewer, WM_SYSCOMMAND, SC_CLOSE, 0);
        kernel.Sleep(kCloseWaitMs);
    }
}
