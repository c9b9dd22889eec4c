// One move-only guard per kind of handle. Each knows its own invalid value:
// CreateFileW fails with INVALID_HANDLE_VALUE, everything else with null.
// Guards of handles that are closed through an OS table (services, printers,
// global blocks) live beside their table.
#pragma once

#include <windows.h>

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
}  // namespace handles_detail

using UniqueFile = Unique<HANDLE, &handles_detail::CloseFile, -1>;
// Processes, tokens and the other kernel objects: their calls fail with null.
using UniqueHandle = Unique<HANDLE, &handles_detail::CloseFile>;
using UniqueKey = Unique<HKEY, &handles_detail::CloseKey>;
using UniqueModule = Unique<HMODULE, &handles_detail::ReleaseModule>;
using UniqueLocal = Unique<HLOCAL, &handles_detail::FreeLocal>;
