#include "spooler/printer_settings.h"

#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "spooler/winspool_api.h"
#include "core/advapi_api.h"
#include "core/user_api.h"

namespace {

// The text that RestorePrinters hands to ClearSettingsDeletedMark: the prefix
// and a SubKey read back into the 64 bytes that follow it.
constexpr DWORD kRelativeKeyBytes = 260;
constexpr DWORD kSettingsPathBytes = sizeof(kProductKey) + kRelativeKeyBytes;

// The spooler does not promise a terminator: a value that fills all 64 bytes
// is longer than a SubKey may be, and one of another type is not a SubKey.
// Only a read that failed outright leaves open whether there is one.
SubKeyRead ReadSubKeyFrom(HANDLE printer, const char* key, char* subKey) {
    ZeroMemory(subKey, kSubKeyBytes);
    DWORD type = 0;
    DWORD needed = 0;
    auto* data = reinterpret_cast<BYTE*>(subKey);
    DWORD status = key ? winspool.GetPrinterDataExA(printer, key, kSubKeyValue, &type, data,
                                                    kSubKeyBytes, &needed)
                       : winspool.GetPrinterDataA(printer, const_cast<LPSTR>(kSubKeyValue), &type,
                                                  data, kSubKeyBytes, &needed);
    if (status == ERROR_SUCCESS && type == REG_SZ && subKey[kSubKeyBytes - 1] == 0) {
        return SubKeyRead::Found;
    }
    ZeroMemory(subKey, kSubKeyBytes);
    kernel.SetLastError(status);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND || status == ERROR_MORE_DATA
               ? SubKeyRead::Absent
               : SubKeyRead::Failed;
}

}  // namespace

SubKeyRead ReadSubKey(HANDLE printer, char* subKey) {
    SubKeyRead plain = ReadSubKeyFrom(printer, nullptr, subKey);
    if (plain == SubKeyRead::Found) {
        return plain;
    }
    DWORD plainError = kernel.GetLastError();
    SubKeyRead dsUser = ReadSubKeyFrom(printer, kDsUserKey, subKey);
    if (plain == SubKeyRead::Failed && dsUser != SubKeyRead::Found) {
        kernel.SetLastError(plainError);
        return plain;
    }
    return dsUser;
}

void ReadPrinterSubKey(HANDLE printer, char* subKey) {
    ReadSubKey(printer, subKey);
}

bool WritePrinterSubKey(HANDLE printer, const char* subKey) {
    const char* text = subKey ? subKey : "";
    auto* data = reinterpret_cast<BYTE*>(const_cast<char*>(text));
    DWORD bytes = kernel.lstrlenA(text) + 1;
    winspool.SetPrinterDataA(printer, const_cast<LPSTR>(kSubKeyValue), REG_SZ, data, bytes);
    DWORD status =
        winspool.SetPrinterDataExA(printer, kDsUserKey, kSubKeyValue, REG_SZ, data, bytes);
    kernel.SetLastError(status);
    return status == ERROR_SUCCESS;
}

bool ClearSettingsDeletedMark(const char* relativeKey) {
    if (!relativeKey || kernel.lstrlenA(relativeKey) >= static_cast<int>(kRelativeKeyBytes)) {
        return false;
    }
    char path[kSettingsPathBytes];
    user.wsprintfA(path, "%s\\%s", kProductKey, relativeKey);
    UniqueKey key;
    if (advapi.RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS, key.Put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    return advapi.RegDeleteValueA(key.Get(), kDeletedValue) == ERROR_SUCCESS;
}

void ClearMarkOfNewPrinter(HANDLE printer) {
    char relativeKey[kRelativeKeyBytes] = {};
    kernel.lstrcpyA(relativeKey, kSettingsKeyPrefix);
    char* subKey = relativeKey + kernel.lstrlenA(kSettingsKeyPrefix);
    ReadPrinterSubKey(printer, subKey);
    if (subKey[0] != 0) {
        ClearSettingsDeletedMark(relativeKey);
    }
}
