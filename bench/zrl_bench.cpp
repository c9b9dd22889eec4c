// Measures the install, reinstall and uninstall runs in-process, against the
// real spooler of the Wine prefix it runs in. It wraps the table entries the
// runs wait, restart the spooler and allocate through, then calls the run
// wrappers as the commands do and prints one Markdown table row per run.
//
//   zrl_bench.exe [--header] [--case LABEL] STEP...
//     install | reinstall   a reinstall run (the first one into a fresh prefix is "install")
//     uninstall             an uninstall run
//     printers=N            makes N product printers (not measured: one "set-up" row)
//
// The run reads the product's files from the folder of this program, so it
// is copied into the Setup folder of the installed layout before it is run.
#include <windows.h>
#include <psapi.h>
#include <winspool.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "app/entry.h"
#include "app/procedures.h"
#include "app/runs.h"
#include "core/user_api.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/advapi_api.h"
#include "spooler/enumerations.h"
#include "spooler/printer_settings.h"
#include "spooler/printers.h"
#include "spooler/winspool_api.h"
#include "core/session_api.h"

#include "office_printer.h"

namespace {

// ---- clock -------------------------------------------------------------------

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER ticks;
    QueryPerformanceCounter(&ticks);
    return static_cast<double>(ticks.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// ---- what one run does, as seen through the tables ---------------------------

struct Counters {
    long sleepCalls;
    double sleepRequestedMs;
    double sleepMs;
    long trayWaitCalls;
    double trayWaitMs;
    long journalCalls;
    double journalMs;
    long spoolerStops;
    long spoolerStarts;
    bool spoolerDown;
    bool startRequested;
    double downSince;
    double downMs;
    long long heapBytes, heapPeakBytes;
    long heapBlocks, heapPeakBlocks, heapAllocs;
    long long globalBytes, globalPeakBytes;
    long globalBlocks, globalPeakBlocks, globalAllocs;
};

Counters counters;
KernelApi realKernel;
AdvapiApi realAdvapi;

void TakeHeap(long long bytes, long blocks) {
    counters.heapBytes += bytes;
    counters.heapBlocks += blocks;
    if (counters.heapBytes > counters.heapPeakBytes) {
        counters.heapPeakBytes = counters.heapBytes;
    }
    if (counters.heapBlocks > counters.heapPeakBlocks) {
        counters.heapPeakBlocks = counters.heapBlocks;
    }
}

void TakeGlobal(long long bytes, long blocks) {
    counters.globalBytes += bytes;
    counters.globalBlocks += blocks;
    if (counters.globalBytes > counters.globalPeakBytes) {
        counters.globalPeakBytes = counters.globalBytes;
    }
    if (counters.globalBlocks > counters.globalPeakBlocks) {
        counters.globalPeakBlocks = counters.globalBlocks;
    }
}

// The wrappers keep the last error of the real call: the product reads it.
void WINAPI TimedSleep(DWORD ms) {
    double start = Now();
    realKernel.Sleep(ms);
    counters.sleepMs += Now() - start;
    counters.sleepRequestedMs += ms;
    ++counters.sleepCalls;
}

LPVOID WINAPI CountedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    LPVOID block = realKernel.HeapAlloc(heap, flags, bytes);
    DWORD error = GetLastError();
    if (block) {
        TakeHeap(static_cast<long long>(bytes), 1);
        ++counters.heapAllocs;
    }
    SetLastError(error);
    return block;
}

LPVOID WINAPI CountedHeapReAlloc(HANDLE heap, DWORD flags, LPVOID old, SIZE_T bytes) {
    SIZE_T before = old ? HeapSize(heap, 0, old) : 0;
    LPVOID block = realKernel.HeapReAlloc(heap, flags, old, bytes);
    DWORD error = GetLastError();
    if (block) {
        TakeHeap(static_cast<long long>(bytes) - static_cast<long long>(before), 0);
        ++counters.heapAllocs;
    }
    SetLastError(error);
    return block;
}

BOOL WINAPI CountedHeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    SIZE_T before = block ? HeapSize(heap, 0, block) : 0;
    BOOL freed = realKernel.HeapFree(heap, flags, block);
    DWORD error = GetLastError();
    if (freed && block) {
        TakeHeap(-static_cast<long long>(before), -1);
    }
    SetLastError(error);
    return freed;
}

HGLOBAL WINAPI CountedGlobalAlloc(UINT flags, SIZE_T bytes) {
    HGLOBAL block = realKernel.GlobalAlloc(flags, bytes);
    DWORD error = GetLastError();
    if (block) {
        TakeGlobal(static_cast<long long>(bytes), 1);
        ++counters.globalAllocs;
    }
    SetLastError(error);
    return block;
}

HGLOBAL WINAPI CountedGlobalFree(HGLOBAL block) {
    SIZE_T before = block ? GlobalSize(block) : 0;
    HGLOBAL left = realKernel.GlobalFree(block);
    DWORD error = GetLastError();
    if (!left && block) {
        TakeGlobal(-static_cast<long long>(before), -1);
    }
    SetLastError(error);
    return left;
}

// The spooler is down from the stop request until the first status after a
// start request that reports it running again.
void MarkSpoolerDown() {
    if (!counters.spoolerDown) {
        counters.spoolerDown = true;
        counters.startRequested = false;
        counters.downSince = Now();
    }
}

void MarkSpoolerUp() {
    counters.downMs += Now() - counters.downSince;
    counters.spoolerDown = false;
}

BOOL WINAPI CountedControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    if (control == SERVICE_CONTROL_STOP) {
        ++counters.spoolerStops;
        MarkSpoolerDown();
    }
    return realAdvapi.ControlService(service, control, status);
}

BOOL WINAPI CountedStartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv) {
    ++counters.spoolerStarts;
    counters.startRequested = true;
    return realAdvapi.StartServiceW(service, argc, argv);
}

BOOL WINAPI WatchedQueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    BOOL ok = realAdvapi.QueryServiceStatus(service, status);
    if (ok && counters.spoolerDown && counters.startRequested &&
        status->dwCurrentState == SERVICE_RUNNING) {
        DWORD error = GetLastError();
        MarkSpoolerUp();
        SetLastError(error);
    }
    return ok;
}

DWORD WINAPI TimedWaitForSingleObject(HANDLE object, DWORD ms) {
    double start = Now();
    DWORD result = realKernel.WaitForSingleObject(object, ms);
    DWORD error = GetLastError();
    counters.trayWaitMs += Now() - start;
    ++counters.trayWaitCalls;
    SetLastError(error);
    return result;
}

// ---- the journal of printers in transit: every registry call it makes ----------

// Keys the journal opened; only reads of those count as the journal's.
std::vector<HKEY> journalKeys;

struct JournalTimer {
    double start = Now();
    ~JournalTimer() {
        counters.journalMs += Now() - start;
        ++counters.journalCalls;
    }
};

bool IsJournalKey(HKEY key) {
    for (HKEY known : journalKeys) {
        if (known == key) {
            return true;
        }
    }
    return false;
}

// The journal's keys (printers in transit, what printers owe) and,
// flushed before the journal lets its printers go, the spooler's own key of
// its printers, wherever this machine keeps it.
bool IsJournalPath(LPCWSTR path) {
    return path && (wcsstr(path, L"Printers in transit") || wcsstr(path, L"Printers owed") ||
                    wcsstr(path, L"\\Print\\Printers"));
}

LSTATUS WINAPI TimedOpenKey(HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) {
    if (!IsJournalPath(path)) {
        return realAdvapi.RegOpenKeyExW(root, path, options, access, key);
    }
    JournalTimer timer;
    LSTATUS status = realAdvapi.RegOpenKeyExW(root, path, options, access, key);
    if (status == ERROR_SUCCESS) {
        journalKeys.push_back(*key);
    }
    return status;
}

LSTATUS WINAPI TimedCreateKey(HKEY root, LPCWSTR path, DWORD reserved, LPWSTR type, DWORD options,
                              REGSAM access, const LPSECURITY_ATTRIBUTES security, PHKEY key,
                              LPDWORD disposition) {
    if (!IsJournalPath(path)) {
        return realAdvapi.RegCreateKeyExW(root, path, reserved, type, options, access, security,
                                          key, disposition);
    }
    JournalTimer timer;
    LSTATUS status = realAdvapi.RegCreateKeyExW(root, path, reserved, type, options, access,
                                                security, key, disposition);
    if (status == ERROR_SUCCESS) {
        journalKeys.push_back(*key);
    }
    return status;
}

LSTATUS WINAPI TimedSetValue(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                             DWORD bytes) {
    if (!IsJournalKey(key)) {
        return realAdvapi.RegSetValueExW(key, name, reserved, type, data, bytes);
    }
    JournalTimer timer;
    return realAdvapi.RegSetValueExW(key, name, reserved, type, data, bytes);
}

LSTATUS WINAPI TimedFlush(HKEY key) {
    JournalTimer timer;
    return realAdvapi.RegFlushKey(key);
}

LSTATUS WINAPI TimedDeleteValue(HKEY key, LPCWSTR name) {
    JournalTimer timer;
    return realAdvapi.RegDeleteValueW(key, name);
}

LSTATUS WINAPI TimedEnumValue(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars,
                              LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD bytes) {
    JournalTimer timer;
    return realAdvapi.RegEnumValueW(key, index, name, nameChars, reserved, type, data, bytes);
}

LSTATUS WINAPI MaybeTimedQueryInfo(HKEY key, LPWSTR className, LPDWORD classChars, LPDWORD reserved,
                                   LPDWORD subKeys, LPDWORD subKeyChars, LPDWORD classMax,
                                   LPDWORD values, LPDWORD valueChars, LPDWORD valueBytes,
                                   LPDWORD security, PFILETIME written) {
    if (!IsJournalKey(key)) {
        return realAdvapi.RegQueryInfoKeyW(key, className, classChars, reserved, subKeys,
                                           subKeyChars, classMax, values, valueChars, valueBytes,
                                           security, written);
    }
    JournalTimer timer;
    return realAdvapi.RegQueryInfoKeyW(key, className, classChars, reserved, subKeys, subKeyChars,
                                       classMax, values, valueChars, valueBytes, security, written);
}

LSTATUS WINAPI MaybeTimedDeleteKey(HKEY root, LPCWSTR path) {
    if (!IsJournalPath(path)) {
        return realAdvapi.RegDeleteKeyW(root, path);
    }
    JournalTimer timer;
    return realAdvapi.RegDeleteKeyW(root, path);
}

LSTATUS WINAPI MaybeTimedQueryValue(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                    LPBYTE data, LPDWORD bytes) {
    if (!IsJournalKey(key)) {
        return realAdvapi.RegQueryValueExW(key, name, reserved, type, data, bytes);
    }
    JournalTimer timer;
    return realAdvapi.RegQueryValueExW(key, name, reserved, type, data, bytes);
}

// The numbers of the error lines of the run's log, as "14, 16".
std::string errorNumbers;

void CollectErrorNumbers(const wchar_t* log) {
    for (const wchar_t* p = wcsstr(log, L"Error("); p; p = wcsstr(p + 1, L"Error(")) {
        if (!errorNumbers.empty()) {
            errorNumbers += ", ";
        }
        errorNumbers += std::to_string(wcstol(p + 6, nullptr, 10));
    }
}

// Nobody is there to close a log dialog: it stays unshown, as without a
// display. The run wrapper hands it the run, whose log tells which errors.
INT_PTR WINAPI NoDialog(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM param) {
    const auto* run = reinterpret_cast<const InstallRun*>(param);
    CollectErrorNumbers(CountedText(run->logText));
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
}

SHORT WINAPI NoKeyDown(int) {
    return 0;
}

void InstallWrappers() {
    realKernel = kernel;
    realAdvapi = advapi;
    kernel.Sleep = &TimedSleep;
    kernel.HeapAlloc = &CountedHeapAlloc;
    kernel.HeapReAlloc = &CountedHeapReAlloc;
    kernel.HeapFree = &CountedHeapFree;
    kernel.GlobalAlloc = &CountedGlobalAlloc;
    kernel.GlobalFree = &CountedGlobalFree;
    advapi.ControlService = &CountedControlService;
    advapi.StartServiceW = &CountedStartServiceW;
    advapi.QueryServiceStatus = &WatchedQueryServiceStatus;
    kernel.WaitForSingleObject = &TimedWaitForSingleObject;
    advapi.RegOpenKeyExW = &TimedOpenKey;
    advapi.RegCreateKeyExW = &TimedCreateKey;
    advapi.RegSetValueExW = &TimedSetValue;
    advapi.RegFlushKey = &TimedFlush;
    advapi.RegDeleteValueW = &TimedDeleteValue;
    advapi.RegEnumValueW = &TimedEnumValue;
    advapi.RegQueryValueExW = &MaybeTimedQueryValue;
    advapi.RegQueryInfoKeyW = &MaybeTimedQueryInfo;
    advapi.RegDeleteKeyW = &MaybeTimedDeleteKey;
    user.DialogBoxParamW = &NoDialog;
    user.GetAsyncKeyState = &NoKeyDown;
}

// ---- the spooler state around a run ----------------------------------------------

int CountProductPrinters() {
    PrinterList list = {};
    EnumeratePrinters(list);
    int count = 0;
    for (UINT32 i = 0; i < list.count; ++i) {
        if (SameSpoolerName(list.buffer[i].pDriverName, kDriverName)) {
            ++count;
        }
    }
    FreePrinterList(list);
    return count;
}

// ---- one row -----------------------------------------------------------------

struct Memory {
    SIZE_T workingSet;
    SIZE_T peakWorkingSet;
};

Memory ReadMemory() {
    PROCESS_MEMORY_COUNTERS info = {};
    info.cb = sizeof(info);
    GetProcessMemoryInfo(GetCurrentProcess(), &info, sizeof(info));
    return {info.WorkingSetSize, info.PeakWorkingSetSize};
}

std::string caseLabel = "-";

std::string Kib(SIZE_T bytes) {
    char text[32];
    snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>((bytes + 1023) / 1024));
    return text;
}

void PrintHeader() {
    printf(
        "| case | phase | printers before→after | wall ms | sleeps ms (calls; asked ms) | tray "
        "waits ms (calls) | journal ms (calls) | spooler stops | spooler starts | spooler down "
        "ms | working set KiB (start→peak) | heap peak bytes (blocks; allocs) | global peak "
        "bytes (blocks; allocs) | blocks left heap/global | errors logged | scheduled |\n");
    printf("|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|\n");
}

std::string ErrorsText(bool errors) {
    if (!errors) {
        return "no";
    }
    return errorNumbers.empty() ? "yes" : errorNumbers;
}

void PrintRow(const char* phase, int before, int after, double wallMs, const Memory& start,
              const Memory& end, bool errors, DWORD scheduled) {
    const Counters& c = counters;
    printf(
        "| %s | %s | %d→%d | %.1f | %.1f (%ld; %.0f) | %.1f (%ld) | %.2f (%ld) | %ld | %ld | "
        "%.1f%s | ",
        caseLabel.c_str(), phase, before, after, wallMs, c.sleepMs, c.sleepCalls,
        c.sleepRequestedMs, c.trayWaitMs, c.trayWaitCalls, c.journalMs, c.journalCalls,
        c.spoolerStops, c.spoolerStarts, c.downMs, c.spoolerDown ? " (still down)" : "");
    printf("%s→%s | %lld (%ld; %ld) | %lld (%ld; %ld) | %ld/%ld | %s | %lu |\n",
           Kib(start.workingSet).c_str(), Kib(end.peakWorkingSet).c_str(), c.heapPeakBytes,
           c.heapPeakBlocks, c.heapAllocs, c.globalPeakBytes, c.globalPeakBlocks, c.globalAllocs,
           c.heapBlocks, c.globalBlocks, ErrorsText(errors).c_str(),
           static_cast<unsigned long>(scheduled));
    fflush(stdout);
}

// ---- steps ---------------------------------------------------------------------

// As the install and uninstall commands do: close the help viewer, then the
// run. A run into a prefix prepared by the benchmark ends cleanly and never
// stops the spooler; anything else makes the figures meaningless.
bool MeasureRun(const char* phase, RunProcedure procedure, Command command) {
    int before = CountProductPrinters();
    Memory start = ReadMemory();
    counters = {};
    errorNumbers.clear();
    double t0 = Now();
    CloseHelpWindows();
    DWORD scheduled = 0;
    bool errors = RunWithProcedure(procedure, command, nullptr, &scheduled);
    double wallMs = Now() - t0;
    if (counters.spoolerDown) {
        counters.downMs += Now() - counters.downSince;
    }
    Memory end = ReadMemory();
    PrintRow(phase, before, CountProductPrinters(), wallMs, start, end, errors, scheduled);
    int code = RunExitCode(command, errors, scheduled);
    int clean = RunExitCode(command, false, 0);
    if (code != clean || counters.spoolerStops != 0) {
        fprintf(stderr, "%s exited %d (not %d) after %ld spooler stops (not 0)\n", phase, code,
                clean, counters.spoolerStops);
        return false;
    }
    return true;
}

// Every product printer gets a SubKey naming a settings key that carries the
// "deleted" mark, as the driver leaves it, so that a reinstall brings each
// one back and clears its mark.
bool MarkSettingsKey(const char* subKey) {
    std::string path = std::string(kProductKey) + "\\" + kSettingsKeyPrefix + subKey;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    DWORD one = 1;
    LONG status = RegSetValueExA(key, kDeletedValue, 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&one), sizeof(one));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// An office's printer, with printer data as a driver keeps it.
bool Dress(HANDLE printer, int index) {
    DWORD needed = 0;
    winspool.GetPrinterW(printer, 2, nullptr, 0, &needed);
    std::vector<BYTE> block(needed);
    if (!winspool.GetPrinterW(printer, 2, block.data(), needed, &needed)) {
        return false;
    }
    wchar_t share[32];
    swprintf(share, 32, L"Bench%03d", index);
    DressAsOffice(reinterpret_cast<PRINTER_INFO_2W*>(block.data()), share);
    DWORD tray = 2;
    BYTE profile[16] = {0x5a};
    return winspool.SetPrinterW(printer, 2, block.data(), 0) &&
           winspool.SetPrinterDataExW(printer, L"PrinterDriverData", L"Tray", REG_DWORD,
                                      reinterpret_cast<BYTE*>(&tray),
                                      sizeof(tray)) == ERROR_SUCCESS &&
           winspool.SetPrinterDataExW(printer, L"Zantorelle\\Profiles", L"Last", REG_BINARY,
                                      profile, sizeof(profile)) == ERROR_SUCCESS;
}

bool GiveSubKey(HANDLE printer, int index) {
    char subKey[kSubKeyBytes];
    snprintf(subKey, sizeof(subKey), "Bench%03d", index);
    return WritePrinterSubKey(printer, subKey) && MarkSettingsKey(subKey) && Dress(printer, index);
}

HANDLE OpenAdministered(const wchar_t* name) {
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    if (!winspool.OpenPrinterW(const_cast<LPWSTR>(name), &printer, &access)) {
        return nullptr;
    }
    return printer;
}

// Wine checks no port; the datatype must be given for Wine to open the printer.
HANDLE AddBenchPrinter(int index) {
    wchar_t name[64];
    wchar_t comment[64];
    swprintf(name, 64, L"%ls %d", kFallbackPrinterName, index);
    swprintf(comment, 64, L"Bench printer %d", index);
    PRINTER_INFO_2W info = {};
    info.pPrinterName = name;
    info.pPortName = const_cast<LPWSTR>(kPortName);
    info.pDriverName = const_cast<LPWSTR>(kDriverName);
    info.pComment = comment;
    info.pLocation = const_cast<LPWSTR>(L"Bench");
    info.pPrintProcessor = const_cast<LPWSTR>(kPrintProcessor);
    info.pDatatype = const_cast<LPWSTR>(L"RAW");
    return winspool.AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
}

// The printers there already (the fallback printer of an install) get a SubKey
// too; new ones are added up to `wanted`.
bool MakeProductPrinters(int wanted) {
    PrinterList list = {};
    EnumeratePrinters(list);
    int index = 0;
    bool ok = true;
    for (UINT32 i = 0; i < list.count; ++i) {
        if (!SameSpoolerName(list.buffer[i].pDriverName, kDriverName)) {
            continue;
        }
        HANDLE printer = OpenAdministered(list.buffer[i].pPrinterName);
        ok = printer && GiveSubKey(printer, ++index) && ok;
        if (printer) {
            winspool.ClosePrinter(printer);
        }
    }
    FreePrinterList(list);
    while (ok && index < wanted) {
        HANDLE printer = AddBenchPrinter(++index);
        if (!printer) {
            fprintf(stderr, "AddPrinterW failed for printer %d: %lu\n", index, GetLastError());
            return false;
        }
        ok = GiveSubKey(printer, index);
        winspool.ClosePrinter(printer);
    }
    return ok;
}

bool SetUpPrinters(int wanted) {
    int before = CountProductPrinters();
    Memory start = ReadMemory();
    counters = {};
    errorNumbers.clear();
    double t0 = Now();
    bool ok = MakeProductPrinters(wanted);
    double wallMs = Now() - t0;
    int after = CountProductPrinters();
    PrintRow("(set-up)", before, after, wallMs, start, ReadMemory(), !ok, 0);
    if (after != wanted) {
        fprintf(stderr, "set-up made %d product printers, not %d\n", after, wanted);
        return false;
    }
    return ok;
}

bool RunStep(const wchar_t* step) {
    if (wcscmp(step, L"install") == 0 || wcscmp(step, L"reinstall") == 0) {
        return MeasureRun(step[0] == L'i' ? "install" : "reinstall", &ReInstall, Command::Install);
    }
    if (wcscmp(step, L"uninstall") == 0) {
        return MeasureRun("uninstall", &UninstallAndCleanUp, Command::Uninstall);
    }
    if (wcsncmp(step, L"printers=", 9) == 0) {
        return SetUpPrinters(_wtoi(step + 9));
    }
    fprintf(stderr, "unknown step %ls\n", step);
    return false;
}

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; *text; ++text) {
        out += *text < 128 ? static_cast<char>(*text) : '?';
    }
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    moduleInstance = GetModuleHandleW(nullptr);
    if (!BindOsTables()) {
        fprintf(stderr, "cannot bind the OS tables\n");
        return 2;
    }
    InstallWrappers();
    int first = 1;
    for (; first < argc && argv[first][0] == L'-'; ++first) {
        if (wcscmp(argv[first], L"--header") == 0) {
            PrintHeader();
        } else if (wcscmp(argv[first], L"--case") == 0 && first + 1 < argc) {
            caseLabel = Narrow(argv[++first]);
        } else {
            fprintf(stderr, "usage: zrl_bench [--header] [--case LABEL] STEP...\n");
            return 2;
        }
    }
    for (int i = first; i < argc; ++i) {
        if (!RunStep(argv[i])) {
            return 1;
        }
    }
    return 0;
}
