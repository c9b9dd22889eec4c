// How the OS tables are made. Each DLL the installer calls has one list of
// the functions it uses (kernel_api.h, advapi_api.h, user_api.h,
// session_api.h, spooler/winspool_api.h), each entry `X(name, kind)`. From
// that one list come the table's fields, the names it is bound by, and the
// chaos harness's list of calls it may make fail: a call named once is bound
// and faultable everywhere.
//
// The tables are filled by name at start-up (BindOsTables, spooler/winspool_api.h), not imported:
// an import costs the executable about 44 bytes where a name costs its length, and the executable
// must stay within 64 KiB. Only GetModuleHandleW, GetProcAddress and LoadLibraryExW, which bind the
// rest, are imported.
#pragma once

#include <windows.h>

#include <type_traits>

// What an entry is. `kKept`: a call that cannot fail in a way a caller could
// act on (string helpers, the last error, releases, clocks), which the
// harness leaves alone. `kFaulted`: the harness may make it fail.
// `kOptional`: a function of a Windows version that may lack it, or of a DLL
// that may be missing: where it cannot be had, the entry fails with
// ERROR_PROC_NOT_FOUND. An export by ordinal carries its number
// (`Ordinal(n)`).
enum : unsigned short { kKept = 0, kFaulted = 1, kOptional = 2 };
constexpr unsigned short Ordinal(unsigned short n) {
    return static_cast<unsigned short>(n << 2);
}

// An optional entry fails as the missing function's stand-in does: with 0.
// That must be its failure (FALSE, null or nothing), never what a success
// looks like (0 is ERROR_SUCCESS to a registry call).
template <typename R, typename... Args>
auto FailsWithZero(R(WINAPI*)(Args...))
    -> std::bool_constant<std::is_same_v<R, BOOL> || std::is_same_v<R, BOOLEAN> ||
                          std::is_pointer_v<R> || std::is_void_v<R>>;
// The formatting functions take a variable list and are never optional.
template <typename R, typename... Args>
auto FailsWithZero(R(WINAPIV*)(Args..., ...)) -> std::false_type;

// The pieces each list is expanded into.
#define ZRL_OS_FIELD(name, kind) decltype(&::name) name;
#define ZRL_OS_NAME(name, kind) #name "\0"
#define ZRL_OS_KIND(name, kind) kind,
#define ZRL_OS_OPTIONAL(name, kind) \
    static_assert(!((kind)&kOptional) || decltype(FailsWithZero(&::name)){}, #name);

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

// Fills every entry of `list` from `module` (which may be null for a list of
// optional entries), or with `onlyStandIns` only those still holding the
// stand-in of a missing function (an entry a test put in place stays);
// false when an entry that is not optional is missing (the table is then
// left part-filled: the caller stops).
bool BindOsTable(HMODULE module, const OsTable& list, bool onlyStandIns = false);

// Binds the tables of kernel32 (from the loaded module), advapi32, user32
// and shell32 (KnownDLLs), each from System32; userenv's and wtsapi32's
// (no KnownDLLs, whose entries are all optional) hold stand-ins that fail
// with ERROR_PROC_NOT_FOUND until BindSessionTables. False when a library or
// an entry that is not optional is missing: nothing has been called
// through them then. The spooler's tables come after these
// (BindOsTables, spooler/winspool_api.h).
bool BindSystemTables();

// Loads userenv and wtsapi32 from System32 and binds their tables, once per
// BindSystemTables: only a run that starts the tray program or asks the
// signed-in users needs them. An entry a test replaced stays.
void BindSessionTables();
