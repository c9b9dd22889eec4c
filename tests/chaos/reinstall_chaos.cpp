// Reinstalls with OS calls failing on a random plan, each followed by a clean
// reinstall. Whatever the faults: no crash and no hang; nothing left
// allocated and no printer or service handle left open; every product printer
// that had a SubKey is back after the clean run with its SubKey, comment and
// location, and the default printer with it; and a faulty run that could not
// bring a printer back as it was logged an error.
//
// Runs in-process against the real spooler of the Wine prefix it is started
// in, with the product laid out in C:\Zantorelle (tests/chaos/run.sh does
// both). Every entry of the OS tables can fail, the nth time it is called;
// sleeps and waits return at once and the spooler service is scripted, so no
// seed waits for real.
//
//   reinstall_chaos.exe [--seeds N] [--first SEED] [--verbose]
//
// Prints each violation with its seed and plan, then one line:
//   chaos: 1000 seeds, 0 violations, 412.3 s
// and exits 0 when there was none.
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "app/entry.h"
#include "app/event_log_api.h"
#include "app/procedures.h"
#include "app/runs.h"
#include "app/user_api.h"
#include "core/counted_string.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "files/pending_value.h"
#include "service/service_api.h"
#include "spooler/printer_journal.h"
#include "spooler/winspool_api.h"
#include "support/test_support.h"
#include "tray/tray_api.h"

namespace {

// ---- the fault plan -------------------------------------------------------------

// Failures as the system reports them, never an answer a caller takes for a
// normal outcome (a missing value, a full buffer).
constexpr DWORD kFailureCodes[] = {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY, ERROR_GEN_FAILURE,
                                   RPC_S_SERVER_UNAVAILABLE};
constexpr int kMaxFaults = 4;

struct Fault {
    int slot;
    long nth;
    DWORD code;
};

struct Plan {
    Fault faults[kMaxFaults];
    int count;
};

Plan plan = {};
std::vector<long> calls;
long faultsFired = 0;

bool ShouldFail(int slot, DWORD& code) {
    long n = ++calls[slot];
    for (int i = 0; i < plan.count; ++i) {
        if (plan.faults[i].slot == slot && plan.faults[i].nth == n) {
            code = plan.faults[i].code;
            ++faultsFired;
            return true;
        }
    }
    return false;
}

// How a failing call answers: most with FALSE or null and the last error;
// registry and printer-data calls with the status itself; waits with WAIT_FAILED.
enum class Answer { Usual, Status, WaitFailed };
template <auto Member>
constexpr Answer kAnswer = Answer::Usual;
template <>
constexpr Answer kAnswer<&WinspoolApi::GetPrinterDataA> = Answer::Status;
template <>
constexpr Answer kAnswer<&WinspoolApi::GetPrinterDataExA> = Answer::Status;
template <>
constexpr Answer kAnswer<&WinspoolApi::SetPrinterDataA> = Answer::Status;
template <>
constexpr Answer kAnswer<&WinspoolApi::SetPrinterDataExA> = Answer::Status;
template <>
constexpr Answer kAnswer<&KernelApi::WaitForSingleObject> = Answer::WaitFailed;
template <>
constexpr Answer kAnswer<&TrayApi::WaitForSingleObject> = Answer::WaitFailed;

template <auto Member, typename R>
R Failed(DWORD code) {
    SetLastError(code);
    if constexpr (kAnswer<Member> == Answer::Status || std::is_same_v<R, LONG>) {
        return static_cast<R>(code);
    } else if constexpr (kAnswer<Member> == Answer::WaitFailed) {
        return WAIT_FAILED;
    } else if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else if constexpr (std::is_same_v<R, INT_PTR>) {
        return -1;
    } else {
        return R{};
    }
}

// One entry of an OS table, wrapped: the nth call fails when the plan says so.
template <auto Table, auto Member>
struct Slot;

template <typename T, T* Table, typename R, typename... A, R (*T::*Member)(A...)>
struct Slot<Table, Member> {
    static inline R (*real)(A...) = nullptr;
    static inline int id = -1;

    static R WINAPI Call(A... args) {
        DWORD code = 0;
        if (ShouldFail(id, code)) {
            return Failed<Member, R>(code);
        }
        return real(args...);
    }
    static void Install(int slot) {
        id = slot;
        real = Table->*Member;
        Table->*Member = &Call;
    }
    static void Remove() { Table->*Member = real; }
};

struct SlotInfo {
    const char* name;
    void (*install)(int);
    void (*remove)();
};

template <auto Table, auto Member>
constexpr SlotInfo Entry(const char* name) {
    return {name, &Slot<Table, Member>::Install, &Slot<Table, Member>::Remove};
}

// Every entry a run may call. Not here: Sleep and GetTickCount (time is
// not a failure), the frees and closes (a failed release is a leak by
// definition) and GetProcAddress (used when the tables are bound).
const SlotInfo kSlots[] = {
    Entry<&kernel, &KernelApi::GetModuleFileNameW>("kernel.GetModuleFileNameW"),
    Entry<&kernel, &KernelApi::GetSystemDirectoryW>("kernel.GetSystemDirectoryW"),
    Entry<&kernel, &KernelApi::HeapAlloc>("kernel.HeapAlloc"),
    Entry<&kernel, &KernelApi::HeapReAlloc>("kernel.HeapReAlloc"),
    Entry<&kernel, &KernelApi::GlobalAlloc>("kernel.GlobalAlloc"),
    Entry<&kernel, &KernelApi::MoveFileExW>("kernel.MoveFileExW"),
    Entry<&kernel, &KernelApi::DeleteFileW>("kernel.DeleteFileW"),
    Entry<&kernel, &KernelApi::RegOpenKeyExA>("kernel.RegOpenKeyExA"),
    Entry<&kernel, &KernelApi::RegQueryValueExW>("kernel.RegQueryValueExW"),
    Entry<&kernel, &KernelApi::RegOpenKeyExW>("kernel.RegOpenKeyExW"),
    Entry<&kernel, &KernelApi::RegCreateKeyExW>("kernel.RegCreateKeyExW"),
    Entry<&kernel, &KernelApi::RegSetValueExW>("kernel.RegSetValueExW"),
    Entry<&kernel, &KernelApi::RegFlushKey>("kernel.RegFlushKey"),
    Entry<&kernel, &KernelApi::RegDeleteValueW>("kernel.RegDeleteValueW"),
    Entry<&kernel, &KernelApi::RegEnumValueW>("kernel.RegEnumValueW"),
    Entry<&kernel, &KernelApi::CreateMutexW>("kernel.CreateMutexW"),
    Entry<&kernel, &KernelApi::WaitForSingleObject>("kernel.WaitForSingleObject"),
    Entry<&kernel, &KernelApi::ReadFile>("kernel.ReadFile"),
    Entry<&kernel, &KernelApi::WriteFile>("kernel.WriteFile"),
    Entry<&winspool, &WinspoolApi::EnumMonitorsW>("winspool.EnumMonitorsW"),
    Entry<&winspool, &WinspoolApi::EnumPrinterDriversW>("winspool.EnumPrinterDriversW"),
    Entry<&winspool, &WinspoolApi::EnumPrintersW>("winspool.EnumPrintersW"),
    Entry<&winspool, &WinspoolApi::GetPrinterW>("winspool.GetPrinterW"),
    Entry<&winspool, &WinspoolApi::OpenPrinterW>("winspool.OpenPrinterW"),
    Entry<&winspool, &WinspoolApi::SetPrinterW>("winspool.SetPrinterW"),
    Entry<&winspool, &WinspoolApi::AddPrinterW>("winspool.AddPrinterW"),
    Entry<&winspool, &WinspoolApi::DeletePrinter>("winspool.DeletePrinter"),
    Entry<&winspool, &WinspoolApi::AddMonitorW>("winspool.AddMonitorW"),
    Entry<&winspool, &WinspoolApi::DeleteMonitorW>("winspool.DeleteMonitorW"),
    Entry<&winspool, &WinspoolApi::AddPrinterDriverExW>("winspool.AddPrinterDriverExW"),
    Entry<&winspool, &WinspoolApi::DeletePrinterDriverExW>("winspool.DeletePrinterDriverExW"),
    Entry<&winspool, &WinspoolApi::GetPrinterDriverDirectoryW>(
        "winspool.GetPrinterDriverDirectoryW"),
    Entry<&winspool, &WinspoolApi::GetPrinterDataA>("winspool.GetPrinterDataA"),
    Entry<&winspool, &WinspoolApi::GetPrinterDataExA>("winspool.GetPrinterDataExA"),
    Entry<&winspool, &WinspoolApi::SetPrinterDataA>("winspool.SetPrinterDataA"),
    Entry<&winspool, &WinspoolApi::SetPrinterDataExA>("winspool.SetPrinterDataExA"),
    Entry<&winspool, &WinspoolApi::GetDefaultPrinterW>("winspool.GetDefaultPrinterW"),
    Entry<&winspool, &WinspoolApi::SetDefaultPrinterW>("winspool.SetDefaultPrinterW"),
    Entry<&version, &VersionApi::GetFileVersionInfoSizeW>("version.GetFileVersionInfoSizeW"),
    Entry<&version, &VersionApi::GetFileVersionInfoW>("version.GetFileVersionInfoW"),
    Entry<&version, &VersionApi::VerQueryValueW>("version.VerQueryValueW"),
    Entry<&services, &ServiceApi::OpenSCManagerW>("services.OpenSCManagerW"),
    Entry<&services, &ServiceApi::OpenServiceW>("services.OpenServiceW"),
    Entry<&services, &ServiceApi::ControlService>("services.ControlService"),
    Entry<&services, &ServiceApi::QueryServiceStatus>("services.QueryServiceStatus"),
    Entry<&services, &ServiceApi::StartServiceW>("services.StartServiceW"),
    Entry<&tray, &TrayApi::CreateMutexA>("tray.CreateMutexA"),
    Entry<&tray, &TrayApi::FindWindowW>("tray.FindWindowW"),
    Entry<&tray, &TrayApi::PostMessageW>("tray.PostMessageW"),
    Entry<&tray, &TrayApi::WaitForSingleObject>("tray.WaitForSingleObject"),
    Entry<&tray, &TrayApi::GetVersionExA>("tray.GetVersionExA"),
    Entry<&tray, &TrayApi::CreateProcessW>("tray.CreateProcessW"),
    Entry<&tray, &TrayApi::ProcessIdToSessionId>("tray.ProcessIdToSessionId"),
    Entry<&tray, &TrayApi::GetShellWindow>("tray.GetShellWindow"),
    Entry<&tray, &TrayApi::GetWindowThreadProcessId>("tray.GetWindowThreadProcessId"),
    Entry<&tray, &TrayApi::OpenProcess>("tray.OpenProcess"),
    Entry<&tray, &TrayApi::OpenProcessToken>("tray.OpenProcessToken"),
    Entry<&tray, &TrayApi::DuplicateTokenEx>("tray.DuplicateTokenEx"),
    Entry<&tray, &TrayApi::CreateProcessWithTokenW>("tray.CreateProcessWithTokenW"),
    Entry<&eventLog, &EventLogApi::RegisterEventSourceW>("eventLog.RegisterEventSourceW"),
    Entry<&eventLog, &EventLogApi::ReportEventW>("eventLog.ReportEventW"),
    Entry<&eventLog, &EventLogApi::RegDeleteKeyW>("eventLog.RegDeleteKeyW"),
    Entry<&user, &UserApi::IsWindow>("user.IsWindow"),
    Entry<&user, &UserApi::FindWindowW>("user.FindWindowW"),
    Entry<&user, &UserApi::PostMessageW>("user.PostMessageW"),
    Entry<&user, &UserApi::DialogBoxParamW>("user.DialogBoxParamW"),
    Entry<&user, &UserApi::GetAsyncKeyState>("user.GetAsyncKeyState"),
    Entry<&user, &UserApi::GetProcessWindowStation>("user.GetProcessWindowStation"),
    Entry<&user, &UserApi::GetUserObjectInformationW>("user.GetUserObjectInformationW"),
};
constexpr int kSlotCount = sizeof(kSlots) / sizeof(kSlots[0]);

class FaultLayer {
public:
    FaultLayer() {
        calls.assign(kSlotCount, 0);
        for (int i = 0; i < kSlotCount; ++i) {
            kSlots[i].install(i);
        }
    }
    ~FaultLayer() {
        for (int i = kSlotCount - 1; i >= 0; --i) {
            kSlots[i].remove();
        }
    }
    FaultLayer(const FaultLayer&) = delete;
    FaultLayer& operator=(const FaultLayer&) = delete;
};

// ---- the world around a run: no waits, a scripted service, no tray program ------

constexpr wchar_t kInstaller[] = L"C:\\Zantorelle\\Setup\\zrlsetup.exe";
constexpr wchar_t kTrayProgram[] = L"C:\\Zantorelle\\zantray.exe";
constexpr wchar_t kTrayOriginal[] = L"C:\\Zantorelle\\zantray.exe.original";

KernelApi realKernel;
WinspoolApi realSpooler;
ServiceApi realServices;
TrayApi realTray;
UserApi realUser;

struct World {
    static inline DWORD serviceState = SERVICE_RUNNING;
    static inline long printersOpen;
    static inline long servicesOpen;
    static inline std::wstring dialogLog;
};

VOID WINAPI NoSleep(DWORD) {}

DWORD WINAPI NoModuleName(HMODULE, LPWSTR path, DWORD chars) {
    lstrcpynW(path, kInstaller, static_cast<int>(chars));
    return static_cast<DWORD>(lstrlenW(path));
}

DWORD WINAPI NoWait(HANDLE object, DWORD) {
    return realKernel.WaitForSingleObject(object, 0);
}

SC_HANDLE WINAPI ServiceManager(LPCWSTR, LPCWSTR, DWORD) {
    ++World::servicesOpen;
    return reinterpret_cast<SC_HANDLE>(0x1000);
}

SC_HANDLE WINAPI SpoolerService(SC_HANDLE, LPCWSTR, DWORD) {
    ++World::servicesOpen;
    return reinterpret_cast<SC_HANDLE>(0x2000);
}

BOOL WINAPI StopService(SC_HANDLE, DWORD, LPSERVICE_STATUS) {
    World::serviceState = SERVICE_STOPPED;
    return TRUE;
}

BOOL WINAPI StartService(SC_HANDLE, DWORD, LPCWSTR*) {
    World::serviceState = SERVICE_RUNNING;
    return TRUE;
}

BOOL WINAPI QueryService(SC_HANDLE, LPSERVICE_STATUS status) {
    status->dwCurrentState = World::serviceState;
    return TRUE;
}

BOOL WINAPI CloseService(SC_HANDLE) {
    --World::servicesOpen;
    return TRUE;
}

BOOL WINAPI OpenCountedPrinter(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) {
    BOOL opened = realSpooler.OpenPrinterW(name, printer, defaults);
    World::printersOpen += opened ? 1 : 0;
    return opened;
}

HANDLE WINAPI AddCountedPrinter(LPWSTR server, DWORD level, LPBYTE info) {
    HANDLE printer = realSpooler.AddPrinterW(server, level, info);
    World::printersOpen += printer ? 1 : 0;
    return printer;
}

BOOL WINAPI CloseCountedPrinter(HANDLE printer) {
    --World::printersOpen;
    return realSpooler.ClosePrinter(printer);
}

// The tray program is not started: the harness would collect one per run.
BOOL WINAPI NoTrayProcess(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                          DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

BOOL WINAPI NoTrayProcessAsUser(HANDLE, DWORD, LPCWSTR, LPWSTR, DWORD, LPVOID, LPCWSTR,
                                LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

INT_PTR WINAPI NoDialog(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM run) {
    World::dialogLog = CountedText(reinterpret_cast<const InstallRun*>(run)->logText);
    return -1;
}

SHORT WINAPI NoShift(int) {
    return 0;
}

void SetUpWorld() {
    realKernel = kernel;
    realSpooler = winspool;
    realServices = services;
    realTray = tray;
    realUser = user;
    kernel.Sleep = &NoSleep;
    kernel.GetModuleFileNameW = &NoModuleName;
    kernel.WaitForSingleObject = &NoWait;
    tray.WaitForSingleObject = &NoWait;
    tray.CreateProcessW = &NoTrayProcess;
    tray.CreateProcessWithTokenW = &NoTrayProcessAsUser;
    services.OpenSCManagerW = &ServiceManager;
    services.OpenServiceW = &SpoolerService;
    services.ControlService = &StopService;
    services.StartServiceW = &StartService;
    services.QueryServiceStatus = &QueryService;
    services.CloseServiceHandle = &CloseService;
    winspool.OpenPrinterW = &OpenCountedPrinter;
    winspool.AddPrinterW = &AddCountedPrinter;
    winspool.ClosePrinter = &CloseCountedPrinter;
    user.DialogBoxParamW = &NoDialog;
    user.GetAsyncKeyState = &NoShift;
}

// ---- the printers a seed starts from ----------------------------------------------

constexpr wchar_t kOtherDriver[] = L"Chaos Generic";
constexpr wchar_t kOtherPrinter[] = L"Chaos Other";
constexpr wchar_t kLostPrinter[] = L"Chaos Lost";
constexpr wchar_t kWindowsKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";

// What a product printer must come back with.
struct Printer {
    std::string subKey;
    std::wstring comment;
    std::wstring location;
};

struct Expected {
    std::map<std::wstring, Printer> printers;
    std::wstring defaultPrinter;  // empty: none to check
};

struct Random {
    unsigned long long state;
    unsigned Next(unsigned bound) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<unsigned>((state >> 33) % bound);
    }
};

struct State {
    bool exists;
    std::wstring driver;
    std::string subKey;
    std::wstring comment;
    std::wstring location;
};

HANDLE OpenAdministered(const std::wstring& name) {
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    realSpooler.OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &printer, &access);
    return printer;
}

std::string SubKeyOf(HANDLE printer) {
    char text[kSubKeyBytes] = {};
    DWORD type = 0;
    DWORD needed = 0;
    auto* data = reinterpret_cast<BYTE*>(text);
    if (realSpooler.GetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), &type, data, sizeof(text),
                                    &needed) == ERROR_SUCCESS ||
        realSpooler.GetPrinterDataExA(printer, "DsUser", "SubKey", &type, data, sizeof(text),
                                      &needed) == ERROR_SUCCESS) {
        return text;
    }
    return "";
}

std::wstring Text(const wchar_t* text) {
    return text ? text : L"";
}

State StateOf(const std::wstring& name) {
    State state = {};
    HANDLE printer = OpenAdministered(name);
    if (!printer) {
        return state;
    }
    state.exists = true;
    std::vector<BYTE> block(16384);
    DWORD needed = 0;
    if (realSpooler.GetPrinterW(printer, 2, block.data(), static_cast<DWORD>(block.size()),
                                &needed)) {
        const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(block.data());
        state.driver = Text(info->pDriverName);
        state.comment = Text(info->pComment);
        state.location = Text(info->pLocation);
    }
    state.subKey = SubKeyOf(printer);
    realSpooler.ClosePrinter(printer);
    return state;
}

std::vector<std::wstring> PrinterNames() {
    DWORD needed = 0;
    DWORD count = 0;
    realSpooler.EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 4, nullptr, 0, &needed, &count);
    std::vector<BYTE> block(needed + 16);
    std::vector<std::wstring> names;
    if (realSpooler.EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 4, block.data(), needed, &needed,
                                  &count)) {
        for (DWORD i = 0; i < count; ++i) {
            names.push_back(reinterpret_cast<PRINTER_INFO_4W*>(block.data())[i].pPrinterName);
        }
    }
    return names;
}

std::wstring DefaultPrinter() {
    wchar_t name[MAX_PATH] = {};
    DWORD chars = MAX_PATH;
    return realSpooler.GetDefaultPrinterW(name, &chars) ? name : L"";
}

void DeletePrinterNamed(const std::wstring& name) {
    for (HANDLE printer; (printer = OpenAdministered(name)) != nullptr;) {
        BOOL deleted = realSpooler.DeletePrinter(printer);
        realSpooler.ClosePrinter(printer);
        if (!deleted) {
            return;
        }
    }
}

HANDLE AddPrinterFor(const std::wstring& name, const wchar_t* driver, const wchar_t* port) {
    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(name.c_str());
    info.pPortName = const_cast<LPWSTR>(port);
    info.pDriverName = const_cast<LPWSTR>(driver);
    info.pPrintProcessor = const_cast<LPWSTR>(kPrintProcessor);
    info.pDatatype = const_cast<LPWSTR>(L"RAW");
    return winspool_detail::exports.AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
}

void SetDetails(HANDLE printer, const wchar_t* comment, const wchar_t* location) {
    std::vector<BYTE> block(16384);
    DWORD needed = 0;
    if (realSpooler.GetPrinterW(printer, 2, block.data(), static_cast<DWORD>(block.size()),
                                &needed)) {
        auto* info = reinterpret_cast<PRINTER_INFO_2W*>(block.data());
        info->pComment = const_cast<LPWSTR>(comment);
        info->pLocation = const_cast<LPWSTR>(location);
        realSpooler.SetPrinterW(printer, 2, block.data(), 0);
    }
}

void WriteSubKey(HANDLE printer, const std::string& subKey) {
    auto* data = reinterpret_cast<BYTE*>(const_cast<char*>(subKey.c_str()));
    auto bytes = static_cast<DWORD>(subKey.size() + 1);
    realSpooler.SetPrinterDataA(printer, const_cast<LPSTR>("SubKey"), REG_SZ, data, bytes);
    realSpooler.SetPrinterDataExA(printer, "DsUser", "SubKey", REG_SZ, data, bytes);
}

const wchar_t* RandomText(Random& random, const wchar_t* text) {
    static const wchar_t* const kEmpty = L"";
    switch (random.Next(3)) {
        case 0:
            return nullptr;
        case 1:
            return kEmpty;
        default:
            return text;
    }
}

void ClearDefault() {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kWindowsKey, L"Device");
}

// A printer only the journal knows: an earlier run was cut off after it took
// it out of the spooler.
void JournalLostPrinter(unsigned seed, bool wasDefault, Expected& expected) {
    std::string subKey = "lost" + std::to_string(seed);
    PRINTER_INFO_2W entry = {};
    entry.pPrinterName = const_cast<LPWSTR>(kLostPrinter);
    entry.pComment = const_cast<LPWSTR>(L"Lost on the way");
    entry.Attributes = wasDefault ? PRINTER_ATTRIBUTE_DEFAULT : 0;
    SavedPrinter saved = {const_cast<char*>(subKey.c_str()), &entry, nullptr};
    JournalPrinter(saved);
    expected.printers[kLostPrinter] = {subKey, L"Lost on the way", L""};
    if (wasDefault) {
        expected.defaultPrinter = kLostPrinter;
    }
}

Expected SetUpPrinters(unsigned seed, Random& random) {
    for (const std::wstring& name : PrinterNames()) {
        DeletePrinterNamed(name);
    }
    CloseJournal(true);
    ClearDefault();
    Expected expected;
    std::vector<std::wstring> candidates;
    unsigned count = random.Next(5);
    for (unsigned k = 1; k <= count; ++k) {
        std::wstring name = L"Chaos " + std::to_wstring(k);
        HANDLE printer = AddPrinterFor(name, kDriverName, kPortName);
        if (!printer) {
            continue;
        }
        std::wstring comment = L"Room " + std::to_wstring(k) + L" \u00e9";
        const wchar_t* shownComment = RandomText(random, comment.c_str());
        const wchar_t* location = RandomText(random, L"Floor \u00e9");
        SetDetails(printer, shownComment, location);
        // One in five has no settings: deleted and not brought back, by design.
        if (random.Next(5) != 0) {
            std::string subKey = "c" + std::to_string(seed) + "k" + std::to_string(k);
            WriteSubKey(printer, subKey);
            expected.printers[name] = {subKey, Text(shownComment), Text(location)};
            candidates.push_back(name);
        }
        realSpooler.ClosePrinter(printer);
    }
    if (random.Next(2)) {
        HANDLE other = AddPrinterFor(kOtherPrinter, kOtherDriver, L"FILE:");
        if (other) {
            realSpooler.ClosePrinter(other);
            candidates.push_back(kOtherPrinter);
        }
    }
    unsigned choice = random.Next(static_cast<unsigned>(candidates.size()) + 1);
    if (choice < candidates.size()) {
        realSpooler.SetDefaultPrinterW(candidates[choice].c_str());
        expected.defaultPrinter = candidates[choice];
    }
    if (random.Next(4) == 0) {
        JournalLostPrinter(seed, expected.defaultPrinter.empty() && random.Next(2), expected);
    }
    return expected;
}

// ---- runs and what is checked after them --------------------------------------------

struct Outcome {
    bool errors;
    std::wstring log;
    long heapBlocks;
    long globalBlocks;
    long printersOpen;
    long servicesOpen;
};

Outcome Reinstall(const Plan& faults, bool faulty) {
    CopyFileW(kTrayOriginal, kTrayProgram, FALSE);
    World::printersOpen = 0;
    World::servicesOpen = 0;
    World::dialogLog.clear();
    Outcome outcome = {};
    AllocationCounter blocks;
    {
        FaultLayer layer;
        plan = faulty ? faults : Plan{};
        DWORD scheduled = 0;
        outcome.errors = RunWithProcedure(&ReInstall, Command::Install, nullptr, &scheduled);
        plan = Plan{};
    }
    outcome.log = World::dialogLog;
    outcome.heapBlocks = blocks.HeapBlocks();
    outcome.globalBlocks = blocks.GlobalBlocks();
    outcome.printersOpen = World::printersOpen;
    outcome.servicesOpen = World::servicesOpen;
    return outcome;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out += c < 128 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::string PlanText(const Plan& faults) {
    std::string text;
    for (int i = 0; i < faults.count; ++i) {
        const Fault& f = faults.faults[i];
        text += std::string(i ? ", " : "") + kSlots[f.slot].name + " #" + std::to_string(f.nth) +
                " (" + std::to_string(f.code) + ")";
    }
    return text;
}

long faultyRunsWithErrors = 0;

struct Report {
    unsigned seed;
    const Plan& faults;
    bool verbose;
    int violations;

    void Violation(const std::string& what, const Outcome& run) {
        ++violations;
        printf("seed %u: %s [plan: %s]\n", seed, what.c_str(), PlanText(faults).c_str());
        if (verbose && !run.log.empty()) {
            printf("%s\n", Narrow(run.log).c_str());
        }
        fflush(stdout);
    }
};

void CheckNothingHeld(Report& report, const char* which, const Outcome& run) {
    if (run.heapBlocks || run.globalBlocks || run.printersOpen || run.servicesOpen) {
        report.Violation(
            std::string(which) + " run left heap/global blocks, printer/service " + "handles " +
                std::to_string(run.heapBlocks) + "/" + std::to_string(run.globalBlocks) + ", " +
                std::to_string(run.printersOpen) + "/" + std::to_string(run.servicesOpen),
            run);
    }
}

// Empty when the printer is there as expected, otherwise what differs.
std::string Difference(const std::wstring& name, const Printer& want) {
    State state = StateOf(name);
    if (!state.exists) {
        return Narrow(name) + " is missing";
    }
    if (state.driver != kDriverName || state.subKey != want.subKey ||
        state.comment != want.comment || state.location != want.location) {
        return Narrow(name) + " is back as " + Narrow(state.driver) + ", SubKey '" + state.subKey +
               "', comment '" + Narrow(state.comment) + "', location '" + Narrow(state.location) +
               "'";
    }
    return "";
}

std::string Differences(const Expected& expected) {
    std::string text;
    for (const auto& [name, want] : expected.printers) {
        std::string difference = Difference(name, want);
        text += difference.empty() ? "" : (text.empty() ? "" : "; ") + difference;
    }
    if (!expected.defaultPrinter.empty() && DefaultPrinter() != expected.defaultPrinter) {
        text += (text.empty() ? "" : "; ") + std::string("the default printer is '") +
                Narrow(DefaultPrinter()) + "', not '" + Narrow(expected.defaultPrinter) + "'";
    }
    return text;
}

bool JournalIsGone() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      L"SOFTWARE\\Dravish Software KFT\\Zantorelle\\Printers in transit", 0,
                      KEY_READ, &key) != ERROR_SUCCESS) {
        return true;
    }
    RegCloseKey(key);
    return false;
}

bool NoDuplicates() {
    std::vector<std::wstring> names = PrinterNames();
    for (size_t i = 0; i < names.size(); ++i) {
        for (size_t j = i + 1; j < names.size(); ++j) {
            if (CompareStringOrdinal(names[i].c_str(), -1, names[j].c_str(), -1, TRUE) ==
                CSTR_EQUAL) {
                return false;
            }
        }
    }
    return true;
}

Plan MakePlan(Random& random, const std::vector<long>& reach) {
    std::vector<int> reachable;
    for (int i = 0; i < kSlotCount; ++i) {
        if (reach[i] > 0) {
            reachable.push_back(i);
        }
    }
    Plan faults = {};
    faults.count = 1 + static_cast<int>(random.Next(kMaxFaults));
    for (int i = 0; i < faults.count; ++i) {
        int slot = reachable[random.Next(static_cast<unsigned>(reachable.size()))];
        faults.faults[i] = {slot,
                            1 + static_cast<long>(random.Next(static_cast<unsigned>(reach[slot]))),
                            kFailureCodes[random.Next(4)]};
    }
    return faults;
}

int RunSeed(unsigned seed, const std::vector<long>& reach, bool verbose) {
    Random random = {seed * 2654435761ULL + 1};
    Expected expected = SetUpPrinters(seed, random);
    Plan faults = MakePlan(random, reach);
    Report report = {seed, faults, verbose, 0};
    PendingValue pending;

    Outcome faulty = Reinstall(faults, true);
    faultyRunsWithErrors += faulty.errors;
    CheckNothingHeld(report, "the faulty", faulty);
    std::string lost = Differences(expected);
    if (!lost.empty() && !faulty.errors) {
        report.Violation("the faulty run logged no error, yet " + lost, faulty);
    }

    Outcome clean = Reinstall(faults, false);
    CheckNothingHeld(report, "the clean", clean);
    lost = Differences(expected);
    if (!lost.empty()) {
        report.Violation("after the clean run " + lost, clean);
    }
    if (!JournalIsGone()) {
        report.Violation("the journal is still there after the clean run", clean);
    }
    if (!NoDuplicates()) {
        report.Violation("two printers have the same name", clean);
    }
    if (GetFileAttributesW(kTrayProgram) == INVALID_FILE_ATTRIBUTES) {
        report.Violation("the clean reinstall deleted the tray program it registers", clean);
    }
    return report.violations;
}

// A seed that does not end within a minute hangs: say which, and stop.
struct Watchdog {
    static inline volatile LONG seed;
    static inline volatile LONG beat;

    static DWORD WINAPI Watch(void*) {
        LONG seen = -1;
        for (int quiet = 0;; ++quiet) {
            Sleep(1000);
            if (beat != seen) {
                seen = beat;
                quiet = 0;
            } else if (quiet >= 60) {
                printf("seed %ld: no end after 60 s (a hang)\n", seed);
                fflush(stdout);
                ExitProcess(3);
            }
        }
    }
};

// Which calls a run makes at all, and how often: the plans aim at those.
std::vector<long> Reach() {
    Random random = {7};
    SetUpPrinters(0, random);
    Reinstall(Plan{}, false);
    while (SetUpPrinters(0, random).printers.size() < 3) {
    }
    Reinstall(Plan{}, false);
    return calls;
}

bool InstallOtherDriver() {
    DRIVER_INFO_3W info = {};
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(kOtherDriver);
    info.pEnvironment = const_cast<LPWSTR>(kEnvironment);
    info.pDriverPath = const_cast<LPWSTR>(L"chaosdrv.dll");
    info.pDataFile = const_cast<LPWSTR>(L"chaosdrv.dll");
    info.pConfigFile = const_cast<LPWSTR>(L"chaosui.dll");
    return realSpooler.AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&info), 0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    moduleInstance = GetModuleHandleW(nullptr);
    unsigned seeds = 20;
    unsigned first = 1;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], L"--seeds") == 0 && i + 1 < argc) {
            seeds = static_cast<unsigned>(_wtoi(argv[++i]));
        } else if (wcscmp(argv[i], L"--first") == 0 && i + 1 < argc) {
            first = static_cast<unsigned>(_wtoi(argv[++i]));
        } else if (wcscmp(argv[i], L"--verbose") == 0) {
            verbose = true;
        } else {
            fprintf(stderr, "usage: reinstall_chaos [--seeds N] [--first SEED] [--verbose]\n");
            return 2;
        }
    }
    if (!BindSpoolerLibraries()) {
        fprintf(stderr, "cannot bind winspool.drv and version.dll\n");
        return 2;
    }
    SetUpWorld();
    if (!CopyFileW(kTrayProgram, kTrayOriginal, FALSE) || !InstallOtherDriver()) {
        fprintf(stderr, "no product in C:\\Zantorelle, or no second driver: %lu\n", GetLastError());
        return 2;
    }
    DWORD started = GetTickCount();
    CreateThread(nullptr, 0, &Watchdog::Watch, nullptr, 0, nullptr);
    std::vector<long> reach = Reach();
    faultsFired = 0;
    int violations = 0;
    for (unsigned seed = first; seed < first + seeds; ++seed) {
        Watchdog::seed = static_cast<LONG>(seed);
        InterlockedIncrement(&Watchdog::beat);
        violations += RunSeed(seed, reach, verbose);
    }
    printf(
        "chaos: %u seeds, %d violations, %.1f s (%ld faults fired, %ld faulty runs logged "
        "errors)\n",
        seeds, violations, (GetTickCount() - started) / 1000.0, faultsFired, faultyRunsWithErrors);
    return violations == 0 ? 0 : 1;
}
