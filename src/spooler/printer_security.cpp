#include "spooler/printer_security.h"
#include "core/advapi_api.h"
#include "core/kernel_api.h"
#include "core/handles.h"

namespace {

// What says how the access lists inherit; the rest of the control word is
// the descriptor's own bookkeeping.
constexpr SECURITY_DESCRIPTOR_CONTROL kDaclControl =
    SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED;
constexpr SECURITY_DESCRIPTOR_CONTROL kSaclControl =
    SE_SACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERITED | SE_SACL_PROTECTED;

bool TakeAcl(PSECURITY_DESCRIPTOR saved, SECURITY_DESCRIPTOR& part, bool sacl) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    if (!(sacl ? advapi.GetSecurityDescriptorSacl(saved, &present, &acl, &defaulted)
               : advapi.GetSecurityDescriptorDacl(saved, &present, &acl, &defaulted)) ||
        !present) {
        return false;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    advapi.GetSecurityDescriptorControl(saved, &control, &revision);
    SECURITY_DESCRIPTOR_CONTROL inherit = sacl ? kSaclControl : kDaclControl;
    return (sacl ? advapi.SetSecurityDescriptorSacl(&part, TRUE, acl, defaulted)
                 : advapi.SetSecurityDescriptorDacl(&part, TRUE, acl, defaulted)) &&
           advapi.SetSecurityDescriptorControl(&part, inherit, control & inherit);
}

void TakeOwnerAndGroup(PSECURITY_DESCRIPTOR saved, SECURITY_DESCRIPTOR& part) {
    PSID sid = nullptr;
    BOOL defaulted = FALSE;
    if (advapi.GetSecurityDescriptorOwner(saved, &sid, &defaulted) && sid) {
        advapi.SetSecurityDescriptorOwner(&part, sid, defaulted);
    }
    if (advapi.GetSecurityDescriptorGroup(saved, &sid, &defaulted) && sid) {
        advapi.SetSecurityDescriptorGroup(&part, sid, defaulted);
    }
}

}  // namespace

bool PartOfDescriptor(PSECURITY_DESCRIPTOR saved, DescriptorPart part, UniqueGlobal& out) {
    out.Reset();
    SECURITY_DESCRIPTOR absolute;
    if (!saved || !advapi.InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
        !TakeAcl(saved, absolute, part == DescriptorPart::Sacl)) {
        kernel.SetLastError(ERROR_SUCCESS);  // nothing of that part to give
        return false;
    }
    if (part == DescriptorPart::OwnerGroupDacl) {
        TakeOwnerAndGroup(saved, absolute);
    }
    DWORD bytes = 0;
    advapi.MakeSelfRelativeSD(&absolute, nullptr, &bytes);
    out.Reset(bytes ? AllocGlobal(bytes) : nullptr);
    if (!out) {
        kernel.SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return advapi.MakeSelfRelativeSD(&absolute, out.Get(), &bytes);
}

bool HasAuditing(PSECURITY_DESCRIPTOR security) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    return security && advapi.GetSecurityDescriptorSacl(security, &present, &acl, &defaulted) &&
           present;
}

// AdjustTokenPrivileges succeeds for a token that lacks the privilege, and
// says so only through ERROR_NOT_ALL_ASSIGNED.
bool CanAudit(InstallRun& run) {
    if (run.auditing) {
        kernel.SetLastError(run.auditingError);
        return run.auditing == 1;
    }
    UniqueHandle token;
    TOKEN_PRIVILEGES privileges = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    bool enabled =
        advapi.OpenProcessToken(kernel.GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                                token.Put()) &&
        advapi.LookupPrivilegeValueW(nullptr, SE_SECURITY_NAME, &privileges.Privileges[0].Luid) &&
        advapi.AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr) &&
        kernel.GetLastError() == ERROR_SUCCESS;
    run.auditingError = enabled                 ? 0
                        : kernel.GetLastError() ? kernel.GetLastError()
                                                : ERROR_GEN_FAILURE;
    run.auditing = enabled ? 1 : 2;
    kernel.SetLastError(run.auditingError);
    return enabled;
}
