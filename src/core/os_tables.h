// How the OS tables are made. Each DLL the installer calls has one list of
// the functions it uses (kernel_api.h, advapi_api.h, user_api.h,
// session_api.h, spooler/winspool_api.h), each entry `X(name, kind)`. From
// that one list come the table's fields, the names it is bound by, and the
// chaos harness's list of calls it may make fail: a call named once is bound
// and faultable everywhere.
//
// The tables are filled by name at start-up (BindOsTables, spooler/winspool_api.h), not imported: an
// import costs the executable about 44 bytes where a name costs its length,
// and the executable must stay within 64 KiB. Only GetModuleHandleW,
// GetProcAddress and LoadLibraryExW, which bind the rest, are imported.
#pragma once

#include <windows.h>

#include <type_traits>

// What an entry is. `kKept`: a call that cannot fail in a way a caller could
// act on (string helpers, the last error, releases and closes, clocks), which
// the harness leaves alone. `kFaulted`: the harness may make it fail.
// `kLate`: not bound at start-up but looked up in System32 at each call, from
// a DLL that is no KnownDLL or a Windows version that may lack it; it fails
// with ERROR_PROC_NOT_FOUND where it cannot be had. An export by ordinal
// carries its number (`Ordinal(n)`).
enum : unsigned short { kKept = 0, kFaulted = 1, kLate = 2 };
constexpr unsigned short Ordinal(unsigned short n) {
    return static_cast<unsigned short>(n << 2);
}

// The pieces each list is expanded into.
#define ZRL_OS_FIELD(name, kind) decltype(&::name) name;
#define ZRL_OS_NAME(name, kind) #name "\0"
#define ZRL_OS_KIND(name, kind) kind,
#define ZRL_OS_INDEX(name, kind) kAt##name,

// One list as the binder sees it: the DLL, its names packed ("A\0B\0\0"),
// each entry's kind, and the table, a record of `count` function pointers.
struct OsTable {
    const wchar_t* library;
    const char* names;
    const unsigned short* kinds;
    void* table;
    unsigned count;
};

// The `index`th name of a packed list.
constexpr const char* NameAt(const char* names, unsigned index) {
    for (; index; --index) {
        while (*names++) {
        }
    }
    return names;
}

constexpr unsigned CountNames(const char* names) {
    unsigned count = 0;
    for (; *names; ++count) {
        names = NameAt(names, 1);
    }
    return count;
}

// Fills every entry of `list` that is not late from `module`; false when one
// of them is missing (the table is then left part-filled: the caller stops).
bool BindOsTable(HMODULE module, const OsTable& list);

// `name` of `library`, from System32 (the library stays loaded); null, with
// ERROR_PROC_NOT_FOUND, when it cannot be had.
FARPROC BindFromSystem(const wchar_t* library, const char* name);

// A late entry: binds `Index` of `Names` in `Library` at each call and calls
// it. Only functions whose failure is FALSE, null or nothing can be late: a
// missing function must never answer as a success would.
template <const wchar_t* Library, const char* Names, unsigned Index, typename F>
struct Late;

template <const wchar_t* Library, const char* Names, unsigned Index, typename R, typename... Args>
struct Late<Library, Names, Index, R(WINAPI*)(Args...)> {
    static_assert(std::is_same_v<R, BOOL> || std::is_same_v<R, BOOLEAN> ||
                  std::is_pointer_v<R> || std::is_void_v<R>);
    static R WINAPI Call(Args... args) {
        FARPROC found = BindFromSystem(Library, NameAt(Names, Index));
        if (found) {
            return reinterpret_cast<R(WINAPI*)(Args...)>(reinterpret_cast<void*>(found))(args...);
        }
        if constexpr (!std::is_void_v<R>) {
            return R{};
        }
    }
};

// Binds the tables of kernel32 (from the loaded module), advapi32, user32
// and shell32 (KnownDLLs, from System32); userenv's and wtsapi32's are late.
// False when a library or an entry that is not late is missing: nothing has
// been called through them then. The spooler's tables come after these
// (BindOsTables, spooler/winspool_api.h).
bool BindSystemTables();
