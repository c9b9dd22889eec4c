#include "core/kernel_api.h"

namespace {

BOOL WINAPI IsWow64Process2IfThere(HANDLE process, USHORT* processMachine, USHORT* nativeMachine) {
    using IsWow64Process2Function = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    auto real = reinterpret_cast<IsWow64Process2Function>(
        reinterpret_cast<void*>(kernel32 ? GetProcAddress(kernel32, "IsWow64Process2") : nullptr));
    if (!real) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return real(process, processMachine, nativeMachine);
}

}  // namespace

KernelApi kernel = {
    &::GetModuleFileNameW,
    &::GetSystemDirectoryW,
    &::Sleep,
    &::GetTickCount,
    &::HeapAlloc,
    &::HeapReAlloc,
    &::HeapFree,
    &::GlobalAlloc,
    &::GlobalFree,
    &::MoveFileExW,
    &::DeleteFileW,
    &::RegOpenKeyExA,
    &::RegQueryValueExW,
    &::RegOpenKeyExW,
    &::RegCreateKeyExW,
    &::RegSetValueExW,
    &::RegFlushKey,
    &::RegDeleteValueW,
    &::RegEnumValueW,
    &::RegQueryInfoKeyW,
    &::RegDeleteKeyW,
    &::CreateMutexW,
    &::WaitForSingleObject,
    &::GetProcAddress,
    &::ReadFile,
    &::WriteFile,
    &IsWow64Process2IfThere,
    &::TerminateProcess,
    &::CreateBoundaryDescriptorW,
    &::AddSIDToBoundaryDescriptor,
    &::CreatePrivateNamespaceW,
    &::OpenPrivateNamespaceW,
    &::ClosePrivateNamespace,
    &::DeleteBoundaryDescriptor,
    &::GetSecurityInfo,
    &::OpenProcessToken,
    &::LookupPrivilegeValueW,
    &::AdjustTokenPrivileges,
};

void* AllocGlobal(SIZE_T bytes) {
    return reinterpret_cast<void*>(kernel.GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, bytes));
}

void FreeGlobal(void* block) {
    if (block) {
        kernel.GlobalFree(reinterpret_cast<HGLOBAL>(block));
    }
}
