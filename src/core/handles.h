// One move-only guard per kind of handle. Each knows its own invalid value:
// CreateFileW fails with INVALID_HANDLE_VALUE, everything else with null.
// Files, kernel objects, registry keys, modules and local blocks close
// directly: closing cannot fail in a way a caller could act on, and the
// package's custom action, which binds no OS tables, shares these guards.
// The others close through their OS table; the printer's guard lives beside
// the spooler's table (spooler/winspool_api.h).
#pragma once

#include <windows.h>

#include "core/advapi_api.h"
#include "core/kernel_api.h"
#include "core/session_api.h"

// Every handle kind here is a pointer type; the invalid value is given as an
// integer because INVALID_HANDLE_VALUE is not a constant template argument.
template <typename H, auto Close, INT_PTR InvalidValue = 0>
class Unique {
    static H Invalid() { return reinterpret_cast<H>(InvalidValue); }

public:
    Unique() = default;
    explicit Unique(H h) : h_(h) {}
    Unique(Unique&& o) noexcept : h_(o.Release()) {}
    Unique& operator=(Unique&& o) noexcept {
        Reset(o.Release());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    ~Unique() { Reset(); }

    H Get() const { return h_; }
    explicit operator bool() const { return h_ != Invalid(); }
    H Release() {
        H h = h_;
        h_ = Invalid();
        return h;
    }
    void Reset(H h = Invalid()) {
        if (h_ != Invalid()) {
            Close(h_);
        }
        h_ = h;
    }
    // The OS writes straight into the guard: no raw handle lives between the
    // call that opens it and its guard.
    H* Put() {
        Reset();
        return &h_;
    }

private:
    H h_ = Invalid();
};

namespace handles_detail {
inline void CloseFile(HANDLE h) {
    ::CloseHandle(h);
}
inline void CloseKey(HKEY h) {
    ::RegCloseKey(h);
}
inline void ReleaseModule(HMODULE h) {
    ::FreeLibrary(h);
}
inline void FreeLocal(HLOCAL h) {
    ::LocalFree(h);
}
inline void CloseService(SC_HANDLE h) {
    advapi.CloseServiceHandle(h);
}
inline void ClosePrivateNamespace(HANDLE h) {
    kernel.ClosePrivateNamespace(h, 0);
}
inline void FreeWtsMemory(LPWSTR text) {
    wtsapi.WTSFreeMemory(text);
}
inline void FreeEnvironment(void* block) {
    userenv.DestroyEnvironmentBlock(block);
}
}  // namespace handles_detail

using UniqueFile = Unique<HANDLE, &handles_detail::CloseFile, -1>;
// Processes, tokens, threads, events, mutexes and the other kernel objects:
// their calls fail with null.
using UniqueHandle = Unique<HANDLE, &handles_detail::CloseFile>;
using UniqueKey = Unique<HKEY, &handles_detail::CloseKey>;
using UniqueModule = Unique<HMODULE, &handles_detail::ReleaseModule>;
using UniqueLocal = Unique<HLOCAL, &handles_detail::FreeLocal>;
using UniqueGlobal = Unique<void*, &FreeGlobal>;
using UniqueService = Unique<SC_HANDLE, &handles_detail::CloseService>;
using UniqueNamespace = Unique<HANDLE, &handles_detail::ClosePrivateNamespace>;
using UniqueWtsText = Unique<LPWSTR, &handles_detail::FreeWtsMemory>;
using UniqueEnvironment = Unique<void*, &handles_detail::FreeEnvironment>;
