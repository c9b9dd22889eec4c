#include "app/install_checks.h"

#include "core/counted_string.h"
#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "files/component_image.h"
#include "service/spooler_service.h"
#include "core/advapi_api.h"
#include "core/user_api.h"

namespace {

// Windows protected print mode (Windows 11 24H2): the group policy "Configure
// Windows protected print" and the switch in Settings > Printers & scanners.
constexpr wchar_t kProtectedPrintKey[] =
    L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers\\WPP";
constexpr const wchar_t* kProtectedPrintValues[] = {L"WindowsProtectedPrintGroupPolicyState",
                                                    L"WindowsProtectedPrintMode"};

bool ComponentIsUsable(InstallRun& run, const wchar_t* name) {
    wchar_t path[kPathBufferChars + kSystemPathChars];
    const wchar_t* folder = CountedText(run.sourceDir);
    // A folder too long for the path leaves the component unreadable, named alone.
    ComponentImage image = ComponentImage::Missing;
    if (kernel.lstrlenW(folder) + kernel.lstrlenW(name) < static_cast<int>(ARRAYSIZE(path))) {
        kernel.lstrcpyW(path, folder);
        kernel.lstrcatW(path, name);
        image = CheckComponentImage(path);
    } else {
        kernel.lstrcpyW(path, name);
        kernel.SetLastError(ERROR_FILENAME_EXCED_RANGE);
    }
    // Narrow, logged with %hs: the executable must stay within 64 KiB.
    const char* fault = nullptr;
    switch (image) {
        case ComponentImage::Usable:
            return true;
        case ComponentImage::Missing:
            LogError(run, kErrorComponentMissing, path);
            return false;
        case ComponentImage::NotAnImage:
            fault = "it is damaged or cut short";
            break;
        case ComponentImage::NotX64:
            fault = "it is built for another processor";
            break;
        case ComponentImage::NotADll:
            fault = "it is a program, not a DLL";
            break;
    }
    kernel.SetLastError(ERROR_BAD_EXE_FORMAT);
    LogError(run, kErrorComponentNotX64Dll, path, fault);
    return false;
}

// An x64 installer runs emulated on an ARM64 machine, whose spooler is
// native and loads only ARM64 printer components.
bool MachineLoadsX64Components(InstallRun& run) {
    USHORT process = IMAGE_FILE_MACHINE_UNKNOWN;
    USHORT native = IMAGE_FILE_MACHINE_UNKNOWN;
    if (!kernel.IsWow64Process2(kernel.GetCurrentProcess(), &process, &native) ||
        native == IMAGE_FILE_MACHINE_AMD64) {
        return true;
    }
    wchar_t machine[16];
    user.wsprintfW(machine, native == IMAGE_FILE_MACHINE_ARM64 ? L"ARM64" : L"0x%04x", native);
    kernel.SetLastError(ERROR_SUCCESS);
    LogError(run, kErrorProcessorNotX64, machine);
    return false;
}

bool ProtectedPrintIsOff(InstallRun& run) {
    UniqueKey key;
    if (advapi.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProtectedPrintKey, 0, KEY_QUERY_VALUE,
                             key.Put()) != ERROR_SUCCESS) {
        return true;
    }
    for (const wchar_t* name : kProtectedPrintValues) {
        DWORD value = 0;
        DWORD type = 0;
        DWORD bytes = sizeof(value);
        if (advapi.RegQueryValueExW(key.Get(), name, nullptr, &type,
                                    reinterpret_cast<BYTE*>(&value), &bytes) == ERROR_SUCCESS &&
            type == REG_DWORD && value == 1) {
            kernel.SetLastError(ERROR_SUCCESS);
            LogError(run, kErrorProtectedPrint, name, kProtectedPrintKey);
            return false;
        }
    }
    return true;
}

// A disabled spooler is an administrator's decision (domain controllers,
// hardened servers): the installer never changes the start type.
bool SpoolerMayStart(InstallRun& run) {
    if (SpoolerStartType() != SpoolerStart::Disabled) {
        return true;
    }
    kernel.SetLastError(ERROR_SERVICE_DISABLED);
    LogError(run, kErrorSpoolerDisabled);
    return false;
}

}  // namespace

bool CheckBeforeInstall(InstallRun& run) {
    bool mayGoAhead = true;
    // The help file stays optional: a driver installs without it.
    const wchar_t* const components[] = {kMonitorDll, kDriverDll, kUiDll};
    for (const wchar_t* name : components) {
        mayGoAhead = ComponentIsUsable(run, name) && mayGoAhead;
    }
    mayGoAhead = MachineLoadsX64Components(run) && mayGoAhead;
    mayGoAhead = ProtectedPrintIsOff(run) && mayGoAhead;
    return SpoolerMayStart(run) && mayGoAhead;
}
