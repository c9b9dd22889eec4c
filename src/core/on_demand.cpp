#include "core/on_demand.h"

FARPROC BindFromSystem(const wchar_t* library, const char* name) {
    HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    FARPROC found = module ? GetProcAddress(module, name) : nullptr;
    if (!found) {
        SetLastError(ERROR_PROC_NOT_FOUND);
    }
    return found;
}
