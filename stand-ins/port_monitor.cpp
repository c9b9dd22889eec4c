// Stand-in for the product's port monitor: it offers the one port
// "Zantorelle:" and accepts whatever is printed to it and throws it away. The
// spooler loads it with InitializePrintMonitor2 and calls it only through the
// MONITOR2 table it returns; entries left null are ones the spooler treats as
// not supported (Wine's localspl checks each before calling it).
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

namespace {

constexpr wchar_t kPortName[] = L"Zantorelle:";
constexpr wchar_t kMonitorName[] = L"Zantorelle:";
constexpr wchar_t kDescription[] = L"Zantorelle virtual printer port";

// One open port: what EndDocPort needs to tell the spooler the job is done.
struct OpenedPort {
    wchar_t printerName[MAX_PATH];
    DWORD jobId;
};

MONITOR2 monitor;

DWORD Chars(const wchar_t* text) {
    return static_cast<DWORD>(lstrlenW(text) + 1);
}

DWORD PortInfoBytes(DWORD level) {
    if (level == 1) {
        return sizeof(PORT_INFO_1W) + Chars(kPortName) * sizeof(wchar_t);
    }
    return sizeof(PORT_INFO_2W) +
           (Chars(kPortName) + Chars(kMonitorName) + Chars(kDescription)) * sizeof(wchar_t);
}

// Copies `text` to `at` and returns where the next string goes.
wchar_t* PutString(wchar_t* at, const wchar_t* text, LPWSTR& field) {
    field = at;
    lstrcpyW(at, text);
    return at + Chars(text);
}

// The entry goes first, its strings right behind it.
void FillPortInfo(DWORD level, BYTE* buffer) {
    if (level == 1) {
        auto* info = reinterpret_cast<PORT_INFO_1W*>(buffer);
        PutString(reinterpret_cast<wchar_t*>(info + 1), kPortName, info->pName);
        return;
    }
    auto* info = reinterpret_cast<PORT_INFO_2W*>(buffer);
    wchar_t* at = reinterpret_cast<wchar_t*>(info + 1);
    at = PutString(at, kPortName, info->pPortName);
    at = PutString(at, kMonitorName, info->pMonitorName);
    PutString(at, kDescription, info->pDescription);
    info->fPortType = PORT_TYPE_WRITE;
    info->Reserved = 0;
}

// The spooler asks for the size first (no buffer) and expects FALSE with
// ERROR_INSUFFICIENT_BUFFER and the size, then calls again with that much.
BOOL WINAPI MonitorEnumPorts(HANDLE, LPWSTR, DWORD level, LPBYTE ports, DWORD bufferBytes,
                             LPDWORD needed, LPDWORD returned) {
    if (!needed || !returned) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *returned = 0;
    *needed = 0;
    if (level != 1 && level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    *needed = PortInfoBytes(level);
    if (!ports || bufferBytes < *needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    FillPortInfo(level, ports);
    *returned = 1;
    return TRUE;
}

BOOL WINAPI MonitorOpenPort(HANDLE, LPWSTR name, PHANDLE port) {
    if (!port || !name || lstrcmpW(name, kPortName) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* opened =
        static_cast<OpenedPort*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(OpenedPort)));
    if (!opened) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *port = opened;
    return TRUE;
}

BOOL WINAPI MonitorStartDocPort(HANDLE port, LPWSTR printerName, DWORD jobId, DWORD, LPBYTE) {
    auto* opened = static_cast<OpenedPort*>(port);
    if (!opened) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    lstrcpynW(opened->printerName, printerName ? printerName : L"", MAX_PATH);
    opened->jobId = jobId;
    return TRUE;
}

// Everything written is accepted and discarded.
BOOL WINAPI MonitorWritePort(HANDLE port, LPBYTE, DWORD bytes, LPDWORD written) {
    if (!port || !written) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *written = bytes;
    return TRUE;
}

// The spooler keeps a job in the queue until the port says it has been sent.
BOOL WINAPI MonitorEndDocPort(HANDLE port) {
    auto* opened = static_cast<OpenedPort*>(port);
    if (!opened) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    HANDLE printer = nullptr;
    if (opened->printerName[0] && OpenPrinterW(opened->printerName, &printer, nullptr)) {
        SetJobW(printer, opened->jobId, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER);
        ClosePrinter(printer);
    }
    return TRUE;
}

BOOL WINAPI MonitorClosePort(HANDLE port) {
    if (port) {
        HeapFree(GetProcessHeap(), 0, port);
    }
    return TRUE;
}

VOID WINAPI MonitorShutdown(HANDLE) {}

// Port settings live below the monitor's own key, reached through the
// spooler's registry functions. Wine's are stubs, yet Wine finds the monitor
// of a port only by the key Ports\<port> there, and it hands over a real
// registry key: without the key a job for the port is never sent to it.
void RegisterPort(const MONITORINIT* init) {
    if (!init || !init->hckRegistryRoot) {
        return;
    }
    constexpr wchar_t kPortKey[] = L"Ports\\Zantorelle:";
    HANDLE key = nullptr;
    const MONITORREG* reg = init->pMonitorReg;
    if (reg && reg->fpCreateKey &&
        reg->fpCreateKey(init->hckRegistryRoot, kPortKey, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr,
                         init->hSpooler) == ERROR_SUCCESS) {
        if (reg->fpCloseKey) {
            reg->fpCloseKey(key, init->hSpooler);
        }
        return;
    }
    HKEY portKey = nullptr;
    if (RegCreateKeyExW(static_cast<HKEY>(init->hckRegistryRoot), kPortKey, 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &portKey, nullptr) == ERROR_SUCCESS) {
        RegCloseKey(portKey);
    }
}

}  // namespace

LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT init, PHANDLE monitorHandle) {
    if (!monitorHandle) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    RegisterPort(init);
    ZeroMemory(&monitor, sizeof(monitor));
    monitor.cbSize = sizeof(MONITOR2);
    monitor.pfnEnumPorts = &MonitorEnumPorts;
    monitor.pfnOpenPort = &MonitorOpenPort;
    monitor.pfnStartDocPort = &MonitorStartDocPort;
    monitor.pfnWritePort = &MonitorWritePort;
    monitor.pfnEndDocPort = &MonitorEndDocPort;
    monitor.pfnClosePort = &MonitorClosePort;
    monitor.pfnShutdown = &MonitorShutdown;
    // The spooler hands this back as the first argument of every call.
    *monitorHandle = &monitor;
    return &monitor;
}
