// Helpers shared by the in-process tests.
#pragma once

#include <windows.h>

#include <string>

#include "core/install_run.h"

inline constexpr DWORD kPoison = 0xDEADBEEF;

// The whole log text of a run.
std::wstring LogOf(const InstallRun& run);
// A zero-filled run record whose fields are all none, ready for log tests.
InstallRun EmptyRun();

// Folder of the build tree (the parent of the test programs' folder).
std::wstring BuildDir();
// The product as `cmake --install` lays it out, and its Setup folder.
std::wstring StageDir();
std::wstring SetupDir();
// A fresh empty folder for one test, removed by the caller with RemoveTree.
std::wstring MakeTempDir(const wchar_t* name);
void RemoveTree(const std::wstring& dir);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
// What LogError appends for the last error `code`: "" for 0, the system's
// text in " - (...)", or " - ( No Description )".
std::wstring ErrorTail(DWORD code);
// The whole file, or "<missing>" when it does not open.
std::string ReadFileBytes(const std::wstring& path);
// Whether the spooler offers a port of that name (EnumPortsW is in no table:
// the installer never lists ports).
bool PortOffered(const wchar_t* name);

// Another process's hold on a named mutex, played by a thread of this one: it
// takes the mutex at construction and lets go at destruction, or, with
// `abandon`, ends at once without letting go, as a killed process would
// (the handle stays open until destruction, so the mutex is abandoned, not
// gone).
class MutexOnThread {
public:
    MutexOnThread(const wchar_t* name, bool abandon = false);
    ~MutexOnThread();
    MutexOnThread(const MutexOnThread&) = delete;
    MutexOnThread& operator=(const MutexOnThread&) = delete;

private:
    static DWORD WINAPI Hold(void* self);
    const wchar_t* name_;
    bool abandon_;
    HANDLE mutex_ = nullptr;
    HANDLE holding_ = nullptr;
    HANDLE letGo_ = nullptr;
    HANDLE thread_ = nullptr;
};

// Counts the blocks the product takes from the process heap and the global
// heap while it lives, so that a test can prove everything was given back.
class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;
    // Blocks taken and not yet released.
    long HeapBlocks() const;
    long GlobalBlocks() const;
};
