// Printers, drivers and monitors a test puts into the shared Wine prefix, all
// removed again when the scratch goes out of scope, also after a failed
// assertion, and the user's default printer as it was before. Uses the spooler functions as they
// were when it was made, so an override still active in the test cannot stop the clean-up.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "core/product.h"
#include "spooler/winspool_api.h"

class SpoolerScratch {
public:
    SpoolerScratch() : real_(winspool) { hadDefault_ = ReadDefaultSetting(savedDefault_); }
    ~SpoolerScratch() {
        for (auto it = printers_.rbegin(); it != printers_.rend(); ++it) {
            DeletePrinterNamed(*it);
        }
        for (const auto& driver : drivers_) {
            real_.DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(kEnvironment),
                                         const_cast<LPWSTR>(driver.c_str()), 0, 0);
        }
        if (monitor_) {
            real_.DeleteMonitorW(nullptr, const_cast<LPWSTR>(kEnvironment),
                                 const_cast<LPWSTR>(kMonitorName));
        }
        for (const auto& file : files_) {
            DeleteFileW(file.c_str());
        }
        RestoreDefaultSetting();
    }
    SpoolerScratch(const SpoolerScratch&) = delete;
    SpoolerScratch& operator=(const SpoolerScratch&) = delete;

    // Wine takes a driver whose files do not exist.
    bool AddDriver(const wchar_t* name) {
        DRIVER_INFO_3W info = {};
        info.cVersion = 3;
        info.pName = const_cast<LPWSTR>(name);
        info.pEnvironment = const_cast<LPWSTR>(kEnvironment);
        info.pDriverPath = const_cast<LPWSTR>(kDriverDll);
        info.pDataFile = const_cast<LPWSTR>(kDriverDll);
        info.pConfigFile = const_cast<LPWSTR>(kUiDll);
        ExpectDriver(name);
        return real_.AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&info), 0);
    }
    // For drivers a test adds through the product's own calls.
    void ExpectDriver(const wchar_t* name) { drivers_.push_back(name); }

    // Wine needs an existing port and a datatype to make a printer it can open.
    bool AddPrinter(const wchar_t* name, const wchar_t* driver) {
        PRINTER_INFO_2W info = {};
        info.pPrinterName = const_cast<LPWSTR>(name);
        info.pPortName = const_cast<LPWSTR>(L"FILE:");
        info.pDriverName = const_cast<LPWSTR>(driver);
        info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
        info.pDatatype = const_cast<LPWSTR>(L"RAW");
        ExpectPrinter(name);
        HANDLE printer = real_.AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
        if (!printer) {
            return false;
        }
        real_.ClosePrinter(printer);
        return true;
    }
    void ExpectPrinter(const wchar_t* name) { printers_.push_back(name); }

    // Copies the monitor DLL into the system folder and registers it.
    bool AddMonitor(const std::wstring& dll) {
        wchar_t system[MAX_PATH];
        GetSystemDirectoryW(system, MAX_PATH);
        std::wstring target = std::wstring(system) + L"\\" + kMonitorDll;
        files_.push_back(target);
        if (!CopyFileW(dll.c_str(), target.c_str(), FALSE)) {
            return false;
        }
        MONITOR_INFO_2W info = {const_cast<LPWSTR>(kMonitorName), const_cast<LPWSTR>(kEnvironment),
                                const_cast<LPWSTR>(kMonitorDll)};
        monitor_ = true;
        return real_.AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    }

    bool PrinterExists(const wchar_t* name) const {
        HANDLE printer = nullptr;
        real_.OpenPrinterW(const_cast<LPWSTR>(name), &printer, nullptr);
        if (printer) {
            real_.ClosePrinter(printer);
        }
        return printer != nullptr;
    }

    HANDLE OpenForDelete(const wchar_t* name) const {
        PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
        HANDLE printer = nullptr;
        real_.OpenPrinterW(const_cast<LPWSTR>(name), &printer, &access);
        return printer;
    }

    std::wstring DefaultPrinter() const {
        wchar_t name[MAX_PATH] = {};
        DWORD chars = MAX_PATH;
        real_.GetDefaultPrinterW(name, &chars);
        return name;
    }

private:
    // The default printer is the user's "Device" setting. Wine clears it only
    // when the printer deleted has exactly that name, and a test may set a
    // name that matches no printer at all.
    static constexpr wchar_t kWindowsKey[] =
        L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";

    static bool ReadDefaultSetting(std::wstring& value) {
        wchar_t text[1024] = {};
        DWORD bytes = sizeof(text);
        if (RegGetValueW(HKEY_CURRENT_USER, kWindowsKey, L"Device", RRF_RT_REG_SZ, nullptr, text,
                         &bytes) != ERROR_SUCCESS) {
            return false;
        }
        value = text;
        return true;
    }

    void RestoreDefaultSetting() const {
        if (!hadDefault_) {
            RegDeleteKeyValueW(HKEY_CURRENT_USER, kWindowsKey, L"Device");
            return;
        }
        RegSetKeyValueW(HKEY_CURRENT_USER, kWindowsKey, L"Device", REG_SZ, savedDefault_.c_str(),
                        static_cast<DWORD>((savedDefault_.size() + 1) * sizeof(wchar_t)));
    }

    void DeletePrinterNamed(const std::wstring& name) const {
        HANDLE printer = OpenForDelete(name.c_str());
        if (printer) {
            real_.DeletePrinter(printer);
            real_.ClosePrinter(printer);
        }
    }

    WinspoolApi real_;
    std::vector<std::wstring> printers_;
    std::vector<std::wstring> drivers_;
    std::vector<std::wstring> files_;
    bool monitor_ = false;
    bool hadDefault_ = false;
    std::wstring savedDefault_;
};
