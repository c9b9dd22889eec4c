#include "support/test_support.h"

#include <winspool.h>

#include <vector>

#include "core/counted_string.h"
#include "core/kernel_api.h"
#include "core/run_log.h"

std::wstring LogOf(const InstallRun& run) {
    return CountedText(run.logText);
}

InstallRun EmptyRun() {
    InstallRun run;
    ZeroMemory(&run, sizeof(run));
    return run;
}

std::wstring BuildDir() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path);
    p = p.substr(0, p.find_last_of(L"\\/"));  // tests folder
    return p.substr(0, p.find_last_of(L"\\/"));
}

std::wstring StageDir() {
    return BuildDir() + L"\\stage";
}
std::wstring SetupDir() {
    return StageDir() + L"\\Zantorelle\\Setup";
}

std::wstring MakeTempDir(const wchar_t* name) {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring dir =
        std::wstring(base) + L"zrl-" + name + L"-" + std::to_wstring(GetCurrentProcessId());
    RemoveTree(dir);
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring path = dir + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (!bytes.empty()) {
        WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
    CloseHandle(f);
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring ErrorTail(DWORD code) {
    if (code == 0) {
        return L"";
    }
    wchar_t* text = SystemErrorText(code);
    std::wstring tail = text ? L" - (" + std::wstring(text) + L")" : L" - ( No Description )";
    LocalFree(text);
    return tail;
}

std::string ReadFileBytes(const std::wstring& path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "<missing>";
    }
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    CloseHandle(file);
    return bytes;
}

bool PortOffered(const wchar_t* name) {
    using EnumPorts = decltype(&::EnumPortsW);
    auto enumPorts = reinterpret_cast<EnumPorts>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"winspool.drv"), "EnumPortsW")));
    DWORD needed = 0;
    DWORD count = 0;
    if (!enumPorts || enumPorts(nullptr, 1, nullptr, 0, &needed, &count) || needed == 0) {
        return false;
    }
    std::vector<BYTE> block(needed);
    if (!enumPorts(nullptr, 1, block.data(), needed, &needed, &count)) {
        return false;
    }
    const auto* ports = reinterpret_cast<const PORT_INFO_1W*>(block.data());
    for (DWORD i = 0; i < count; ++i) {
        if (ports[i].pName && std::wstring(ports[i].pName) == name) {
            return true;
        }
    }
    return false;
}

MutexOnThread::MutexOnThread(const wchar_t* name, bool abandon) : name_(name), abandon_(abandon) {
    holding_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    letGo_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, &Hold, this, 0, nullptr);
    WaitForSingleObject(holding_, 5000);
    if (abandon_) {
        WaitForSingleObject(thread_, 5000);
    }
}

MutexOnThread::~MutexOnThread() {
    SetEvent(letGo_);
    WaitForSingleObject(thread_, 5000);
    for (HANDLE h : {thread_, letGo_, holding_, mutex_}) {
        CloseHandle(h);
    }
}

DWORD WINAPI MutexOnThread::Hold(void* self) {
    auto* holder = static_cast<MutexOnThread*>(self);
    holder->mutex_ = CreateMutexW(nullptr, TRUE, holder->name_);
    SetEvent(holder->holding_);
    if (!holder->abandon_) {
        WaitForSingleObject(holder->letGo_, INFINITE);
        ReleaseMutex(holder->mutex_);
    }
    return 0;
}

namespace {

KernelApi saved;
long heapBlocks = 0;
long globalBlocks = 0;

LPVOID WINAPI CountingHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    LPVOID p = saved.HeapAlloc(heap, flags, bytes);
    heapBlocks += p ? 1 : 0;
    return p;
}

BOOL WINAPI CountingHeapFree(HANDLE heap, DWORD flags, LPVOID p) {
    heapBlocks -= p ? 1 : 0;
    return saved.HeapFree(heap, flags, p);
}

HGLOBAL WINAPI CountingGlobalAlloc(UINT flags, SIZE_T bytes) {
    HGLOBAL p = saved.GlobalAlloc(flags, bytes);
    globalBlocks += p ? 1 : 0;
    return p;
}

HGLOBAL WINAPI CountingGlobalFree(HGLOBAL p) {
    globalBlocks -= p ? 1 : 0;
    return saved.GlobalFree(p);
}

}  // namespace

AllocationCounter::AllocationCounter() {
    saved = kernel;
    heapBlocks = 0;
    globalBlocks = 0;
    kernel.HeapAlloc = &CountingHeapAlloc;
    kernel.HeapFree = &CountingHeapFree;
    kernel.GlobalAlloc = &CountingGlobalAlloc;
    kernel.GlobalFree = &CountingGlobalFree;
}

AllocationCounter::~AllocationCounter() {
    kernel.HeapAlloc = saved.HeapAlloc;
    kernel.HeapFree = saved.HeapFree;
    kernel.GlobalAlloc = saved.GlobalAlloc;
    kernel.GlobalFree = saved.GlobalFree;
}

long AllocationCounter::HeapBlocks() const {
    return heapBlocks;
}
long AllocationCounter::GlobalBlocks() const {
    return globalBlocks;
}
