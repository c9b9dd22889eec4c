#include "core/kernel_api.h"

KernelApi kernel = {
    &::GetModuleFileNameW, &::GetSystemDirectoryW, &::Sleep,
    &::GetTickCount,       &::HeapAlloc,           &::HeapReAlloc,
    &::HeapFree,           &::GlobalAlloc,         &::GlobalFree,
    &::MoveFileExW,        &::DeleteFileW,         &::RegOpenKeyExA,
    &::RegQueryValueExW,   &::RegOpenKeyExW,       &::RegCreateKeyExW,
    &::RegSetValueExW,     &::RegFlushKey,         &::RegDeleteValueW,
    &::RegEnumValueW,      &::RegQueryInfoKeyW,    &::RegDeleteKeyW,
    &::CreateMutexW,       &::WaitForSingleObject, &::GetProcAddress,
    &::ReadFile,           &::WriteFile,
};

void* AllocGlobal(SIZE_T bytes) {
    return reinterpret_cast<void*>(kernel.GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, bytes));
}

void FreeGlobal(void* block) {
    if (block) {
        kernel.GlobalFree(reinterpret_cast<HGLOBAL>(block));
    }
}
