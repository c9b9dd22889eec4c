// Starts a program and kills it as soon as no more than MAX_LEFT printers of
// the product's driver are left in the spooler: a run cut off (a deployment
// tool's time-out, a crash, the power gone) while printers are out of it.
//
//   cut_off MAX_LEFT PROGRAM [ARGUMENT]...
//
// Prints "cut off with N product printers left" and exits 0, or "ended on its
// own with exit code C" and exits 1 when the program ended first.
#include <windows.h>
#include <winspool.h>

#include <stdio.h>
#include <wchar.h>

#include <string>
#include <vector>

namespace {

int ProductPrinters() {
    DWORD needed = 0;
    DWORD count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> block(needed + 64);
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, block.data(),
                       static_cast<DWORD>(block.size()), &needed, &count)) {
        return -1;
    }
    int product = 0;
    for (DWORD i = 0; i < count; ++i) {
        const wchar_t* driver = reinterpret_cast<PRINTER_INFO_2W*>(block.data())[i].pDriverName;
        product += driver && wcscmp(driver, L"Zantorelle printer") == 0;
    }
    return product;
}

std::wstring CommandLine(int argc, wchar_t** argv) {
    std::wstring line;
    for (int i = 2; i < argc; ++i) {
        line += (i > 2 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
    }
    return line;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: cut_off MAX_LEFT PROGRAM [ARGUMENT]...\n");
        return 2;
    }
    int maxLeft = _wtoi(argv[1]);
    std::wstring line = CommandLine(argc, argv);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        fwprintf(stderr, L"cannot start %ls: %lu\n", line.c_str(), GetLastError());
        return 2;
    }
    CloseHandle(process.hThread);
    for (;;) {
        int left = ProductPrinters();
        if (left >= 0 && left <= maxLeft) {
            TerminateProcess(process.hProcess, 255);
            WaitForSingleObject(process.hProcess, INFINITE);
            wprintf(L"cut off with %d product printers left\n", left);
            return 0;
        }
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            wprintf(L"ended on its own with exit code %lu\n", code);
            return 1;
        }
    }
}
