// Reads the installer's log dialog the way a user sees it: finds the window
// by its caption, prints the caption, the state of the edit control and its
// text, and closes it with its Close button.
//
//   log_reader read [seconds] [--host] [--hold ms]
//       waits up to `seconds` (default 20) for the dialog. --host first opens a
//       window of its own and prints "host: <handle>" for the installer's
//       command line; --hold keeps the dialog open that long (for a screenshot).
//
// Shift cannot be pressed from here: Wine takes the key state from X events
// of a focused Wine window, so tests hold it with xdotool on the host window.
// Prints UTF-8 on standard output; exits 0 when a dialog was read, 1 if none came.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

void Print(const wchar_t* text) {
    char utf8[65536];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr, nullptr);
    if (n > 1) {
        fwrite(utf8, 1, n - 1, stdout);
    }
    fflush(stdout);
}

void PrintLine(const wchar_t* label, const wchar_t* value) {
    Print(label);
    Print(value);
    Print(L"\n");
}

struct Found {
    HWND dialog;
};

BOOL CALLBACK FindLogDialog(HWND window, LPARAM param) {
    wchar_t caption[512] = {};
    GetWindowTextW(window, caption, 512);
    if (wcsncmp(caption, L"Zantorelle build", 16) == 0 && IsWindowVisible(window)) {
        reinterpret_cast<Found*>(param)->dialog = window;
        return FALSE;
    }
    return TRUE;
}

void PumpFor(DWORD ms) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
        Sleep(20);
    }
}

HWND WaitForDialog(int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        Found found = {};
        EnumWindows(&FindLogDialog, reinterpret_cast<LPARAM>(&found));
        if (found.dialog) {
            return found.dialog;
        }
        PumpFor(50);
    }
    return nullptr;
}

HWND OpenHost() {
    HWND host =
        CreateWindowExW(0, L"STATIC", L"log reader host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                        200, 100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    wchar_t line[64];
    swprintf(line, 64, L"host: %lld\n", static_cast<long long>(reinterpret_cast<INT_PTR>(host)));
    Print(line);
    return host;
}

void Report(HWND dialog, HWND host) {
    wchar_t caption[512] = {};
    GetWindowTextW(dialog, caption, 512);
    PrintLine(L"caption: ", caption);
    HWND edit = GetDlgItem(dialog, 1001);
    LONG style = GetWindowLongW(edit, GWL_STYLE);
    PrintLine(L"read-only: ", (style & ES_READONLY) ? L"yes" : L"no");
    PrintLine(L"vertical scroll bar: ", (style & WS_VSCROLL) ? L"yes" : L"no");
    PrintLine(L"wraps: ", (style & ES_AUTOHSCROLL) ? L"no" : L"yes");
    if (host) {
        PrintLine(L"owned by host: ", GetWindow(dialog, GW_OWNER) == host ? L"yes" : L"no");
    } else {
        PrintLine(L"owner: ", GetWindow(dialog, GW_OWNER) ? L"a window" : L"none");
    }
    static wchar_t text[1 << 16];
    text[0] = 0;
    // WM_GETTEXT across processes: Wine and Windows marshal it for edit controls.
    SendMessageW(edit, WM_GETTEXT, sizeof(text) / sizeof(text[0]), reinterpret_cast<LPARAM>(text));
    Print(L"text:\n");
    Print(text);
    Print(L"end of text\n");
}

int Read(int argc, wchar_t** argv) {
    int seconds = argc > 2 && argv[2][0] != L'-' ? _wtoi(argv[2]) : 20;
    HWND host = nullptr;
    DWORD hold = 0;
    for (int i = 2; i < argc; ++i) {
        if (wcscmp(argv[i], L"--host") == 0) {
            host = OpenHost();
        } else if (wcscmp(argv[i], L"--hold") == 0 && i + 1 < argc) {
            hold = static_cast<DWORD>(_wtoi(argv[++i]));
        }
    }
    HWND dialog = WaitForDialog(seconds);
    if (!dialog) {
        Print(L"no log dialog\n");
        return 1;
    }
    PumpFor(300);  // let the dialog finish its initialisation
    Report(dialog, host);
    PumpFor(hold);
    // The Close button, as a user would press it.
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    PumpFor(200);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && wcscmp(argv[1], L"read") == 0) {
        return Read(argc, argv);
    }
    Print(L"usage: log_reader read [seconds] [--host] [--hold ms]\n");
    return 2;
}
