// Stand-in for the product's tray program. What the installer relies on: while
// it runs it holds the named mutex and owns a hidden window of the agreed
// class; a WM_USER + 2 posted to that window makes it release the mutex and
// end. Only one instance runs at a time.
#include <windows.h>

namespace {

constexpr wchar_t kMutexName[] = L"{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
constexpr wchar_t kWindowClass[] = L"zvs::{05759F8E-103D-41B6-8A61-EFAA89516692}";
constexpr wchar_t kProbeClass[] = L"zvs::zantray-probe";
constexpr UINT kStopMessage = WM_USER + 2;

HANDLE ownedMutex = nullptr;

void ReleaseInstanceMutex() {
    if (ownedMutex) {
        ReleaseMutex(ownedMutex);
        CloseHandle(ownedMutex);
        ownedMutex = nullptr;
    }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kStopMessage:
            // Released before the window goes: whoever waits for the mutex
            // may go on at once (and then delete this executable).
            ReleaseInstanceMutex();
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

bool RegisterWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = name;
    return RegisterClassExW(&windowClass) != 0;
}

HWND CreateHiddenTopLevelWindow(HINSTANCE instance, const wchar_t* windowClass) {
    return CreateWindowExW(WS_EX_TOOLWINDOW, windowClass, L"Zantorelle", WS_POPUP, 0, 0, 0, 0,
                           nullptr, nullptr, instance, nullptr);
}

// Wine without an X display cannot create top-level windows; one whose
// creation fails there is already listed (and found by FindWindowW) until the
// display driver refuses it, and a stop message posted to it then is lost. So
// the attempt is made with a private class first.
bool TopLevelWindowsWork(HINSTANCE instance) {
    if (!RegisterWindowClass(instance, kProbeClass, &DefWindowProcW)) {
        return false;
    }
    HWND probe = CreateHiddenTopLevelWindow(instance, kProbeClass);
    if (!probe) {
        return false;
    }
    DestroyWindow(probe);
    return true;
}

// A hidden top-level window, as on Windows, where FindWindowW does not see
// message-only windows. Where there can be none, a message-only window
// serves: Wine's FindWindowW, unlike Windows', also finds those.
HWND CreateTrayWindow(HINSTANCE instance) {
    if (!RegisterWindowClass(instance, kWindowClass, &WindowProc)) {
        return nullptr;
    }
    if (TopLevelWindowsWork(instance)) {
        return CreateHiddenTopLevelWindow(instance, kWindowClass);
    }
    return CreateWindowExW(0, kWindowClass, L"Zantorelle", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           instance, nullptr);
}

int RunMessageLoop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    ownedMutex = CreateMutexW(nullptr, TRUE, kMutexName);
    if (!ownedMutex) {
        return 1;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another instance holds it; this one did not get ownership.
        CloseHandle(ownedMutex);
        return 0;
    }
    if (!CreateTrayWindow(instance)) {
        ReleaseInstanceMutex();
        return 1;
    }
    int exitCode = RunMessageLoop();
    ReleaseInstanceMutex();
    return exitCode;
}
