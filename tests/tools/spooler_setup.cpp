// Prepares the state that end-to-end tests start from, the way a user or an
// earlier install would have left it.
//
//   spooler_setup add-printer NAME [COMMENT [LOCATION [SUBKEY]]]
//       a printer of the product's driver on the product's port; SUBKEY is
//       written as printer data "SubKey", plain and under "DsUser"
//   spooler_setup set-default NAME
//   spooler_setup dress NAME
//       what an administrator sets on a printer: a share, priorities, hours,
//       a separator page, two attributes, A4 landscape with 3 copies, and
//       printer data (plain, under "PrinterDriverData" and a key of its own)
//   spooler_setup data NAME KEY VALUE TEXT
//       a REG_SZ printer-data value under KEY, made as deep as KEY says
//   spooler_setup pending SOURCE [TARGET]
//       appends one pair to PendingFileRenameOperations (no TARGET: a deletion)
//   spooler_setup hold PATH SECONDS
//       keeps PATH open without FILE_SHARE_DELETE, as a process using it would
#include <windows.h>
#include <winspool.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "office_printer.h"

namespace {

bool OnWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

int AddTestPrinter(int argc, wchar_t** argv) {
    PRINTER_INFO_2W info = {};
    info.pPrinterName = argv[2];
    info.pPortName = const_cast<wchar_t*>(L"Zantorelle:");
    info.pDriverName = const_cast<wchar_t*>(L"Zantorelle printer");
    info.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
    info.pDatatype = OnWine() ? const_cast<wchar_t*>(L"RAW") : nullptr;
    info.pComment = argc > 3 ? argv[3] : nullptr;
    info.pLocation = argc > 4 ? argv[4] : nullptr;
    HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    if (!printer) {
        fwprintf(stderr, L"AddPrinterW failed: %lu\n", GetLastError());
        return 1;
    }
    if (argc > 5) {
        char subKey[64];
        WideCharToMultiByte(CP_ACP, 0, argv[5], -1, subKey, sizeof(subKey), nullptr, nullptr);
        DWORD bytes = static_cast<DWORD>(strlen(subKey) + 1);
        SetPrinterDataA(printer, const_cast<char*>("SubKey"), REG_SZ,
                        reinterpret_cast<BYTE*>(subKey), bytes);
        SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, reinterpret_cast<BYTE*>(subKey),
                          bytes);
    }
    ClosePrinter(printer);
    return 0;
}

int Dress(const wchar_t* name) {
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    if (!OpenPrinterW(const_cast<wchar_t*>(name), &printer, &access)) {
        return 1;
    }
    DWORD needed = 0;
    GetPrinterW(printer, 2, nullptr, 0, &needed);
    std::string block(needed, '\0');
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(&block[0]);
    bool dressed = GetPrinterW(printer, 2, reinterpret_cast<BYTE*>(&block[0]), needed, &needed);
    std::wstring share = std::wstring(name) + L" share";
    if (dressed) {
        DressAsOffice(info, &share[0]);
        dressed = SetPrinterW(printer, 2, reinterpret_cast<BYTE*>(&block[0]), 0);
    }
    DWORD tray = 2;
    BYTE profile[] = {0x5a, 0x00, 0xff};
    dressed = dressed &&
              SetPrinterDataW(printer, const_cast<wchar_t*>(L"Tray"), REG_DWORD,
                              reinterpret_cast<BYTE*>(&tray), sizeof(tray)) == ERROR_SUCCESS &&
              SetPrinterDataExW(printer, L"PrinterDriverData", L"Duplex", REG_SZ,
                                reinterpret_cast<BYTE*>(const_cast<wchar_t*>(L"long edge")),
                                20) == ERROR_SUCCESS &&
              SetPrinterDataExW(printer, L"Zantorelle\\Profiles", L"Last", REG_BINARY, profile,
                                sizeof(profile)) == ERROR_SUCCESS;
    ClosePrinter(printer);
    return dressed ? 0 : 1;
}

int SetText(const wchar_t* name, const wchar_t* key, const wchar_t* value, const wchar_t* text) {
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    if (!OpenPrinterW(const_cast<wchar_t*>(name), &printer, &access)) {
        return 1;
    }
    auto bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    DWORD status = SetPrinterDataExW(printer, key, value, REG_SZ,
                                     reinterpret_cast<BYTE*>(const_cast<wchar_t*>(text)), bytes);
    ClosePrinter(printer);
    return status == ERROR_SUCCESS ? 0 : 1;
}

int AddPendingPair(int argc, wchar_t** argv) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return 1;
    }
    std::wstring value;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &bytes) ==
            ERROR_SUCCESS &&
        bytes > 2) {
        value.resize(bytes / sizeof(wchar_t));
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&value[0]), &bytes);
        // Drop only the list's own terminator: an empty last target (a
        // deletion) is a string of its own and must stay.
        if (value.size() >= 2 && value[value.size() - 1] == 0 && value[value.size() - 2] == 0) {
            value.pop_back();
        } else if (value.back() != 0) {
            value.push_back(0);
        }
    }
    value += argv[2];
    value.push_back(0);
    value += argc > 3 ? argv[3] : L"";
    value.push_back(0);
    value.push_back(0);
    LONG result = RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                                 reinterpret_cast<const BYTE*>(value.data()),
                                 static_cast<DWORD>(value.size() * sizeof(wchar_t)));
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? 0 : 1;
}

int Hold(wchar_t** argv) {
    HANDLE file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    printf("holding\n");
    fflush(stdout);
    Sleep(static_cast<DWORD>(_wtoi(argv[3])) * 1000);
    CloseHandle(file);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && wcscmp(argv[1], L"add-printer") == 0) {
        return AddTestPrinter(argc, argv);
    }
    if (argc == 3 && wcscmp(argv[1], L"set-default") == 0) {
        return SetDefaultPrinterW(argv[2]) ? 0 : 1;
    }
    if (argc >= 3 && wcscmp(argv[1], L"pending") == 0) {
        return AddPendingPair(argc, argv);
    }
    if (argc == 3 && wcscmp(argv[1], L"dress") == 0) {
        return Dress(argv[2]);
    }
    if (argc == 6 && wcscmp(argv[1], L"data") == 0) {
        return SetText(argv[2], argv[3], argv[4], argv[5]);
    }
    if (argc == 4 && wcscmp(argv[1], L"hold") == 0) {
        return Hold(argv);
    }
    fwprintf(stderr, L"usage: see the comment at the top of spooler_setup.cpp\n");
    return 2;
}
