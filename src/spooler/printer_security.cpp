#include "spooler/printer_security.h"

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
    if (!(sacl ? GetSecurityDescriptorSacl(saved, &present, &acl, &defaulted)
               : GetSecurityDescriptorDacl(saved, &present, &acl, &defaulted)) ||
        !present) {
        return false;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(saved, &control, &revision);
    SECURITY_DESCRIPTOR_CONTROL inherit = sacl ? kSaclControl : kDaclControl;
    return (sacl ? SetSecurityDescriptorSacl(&part, TRUE, acl, defaulted)
                 : SetSecurityDescriptorDacl(&part, TRUE, acl, defaulted)) &&
           SetSecurityDescriptorControl(&part, inherit, control & inherit);
}

void TakeOwnerAndGroup(PSECURITY_DESCRIPTOR saved, SECURITY_DESCRIPTOR& part) {
    PSID sid = nullptr;
    BOOL defaulted = FALSE;
    if (GetSecurityDescriptorOwner(saved, &sid, &defaulted) && sid) {
        SetSecurityDescriptorOwner(&part, sid, defaulted);
    }
    if (GetSecurityDescriptorGroup(saved, &sid, &defaulted) && sid) {
        SetSecurityDescriptorGroup(&part, sid, defaulted);
    }
}

}  // namespace

bool PartOfDescriptor(PSECURITY_DESCRIPTOR saved, DescriptorPart part, UniqueGlobal& out) {
    out.Reset();
    SECURITY_DESCRIPTOR absolute;
    if (!saved || !InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
        !TakeAcl(saved, absolute, part == DescriptorPart::Sacl)) {
        SetLastError(ERROR_SUCCESS);  // nothing of that part to give
        return false;
    }
    if (part == DescriptorPart::OwnerGroupDacl) {
        TakeOwnerAndGroup(saved, absolute);
    }
    DWORD bytes = 0;
    MakeSelfRelativeSD(&absolute, nullptr, &bytes);
    out.Reset(bytes ? AllocGlobal(bytes) : nullptr);
    if (!out) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return MakeSelfRelativeSD(&absolute, out.Get(), &bytes);
}

bool HasAuditing(PSECURITY_DESCRIPTOR security) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    return security && GetSecurityDescriptorSacl(security, &present, &acl, &defaulted) && present;
}

// AdjustTokenPrivileges succeeds for a token that lacks the privilege, and
// says so only through ERROR_NOT_ALL_ASSIGNED.
bool CanAudit(InstallRun& run) {
    if (run.auditing) {
        SetLastError(run.auditingError);
        return run.auditing == 1;
    }
    UniqueHandle token;
    TOKEN_PRIVILEGES privileges = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    bool enabled =
        kernel.OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                                token.Put()) &&
        kernel.LookupPrivilegeValueW(nullptr, SE_SECURITY_NAME, &privileges.Privileges[0].Luid) &&
        kernel.AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr) &&
        GetLastError() == ERROR_SUCCESS;
    run.auditingError = enabled ? 0 : GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
    run.auditing = enabled ? 1 : 2;
    SetLastError(run.auditingError);
    return enabled;
}
