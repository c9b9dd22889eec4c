#include "app/run_lock.h"

#include <sddl.h>

#include "core/user_api.h"
#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/advapi_api.h"

namespace {

// Administrators and SYSTEM, nobody else; not inherited from the directory.
constexpr wchar_t kLockSddl[] = L"D:P(A;;GA;;;BA)(A;;GA;;;SY)";
// A namespace whose last holder ends while it is opened is made again.
constexpr int kNamespaceAttempts = 3;

struct LockSecurity {
    SECURITY_ATTRIBUTES attributes;
    UniqueLocal descriptor;
};

bool MakeLockSecurity(LockSecurity& security) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!advapi.ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockSddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr)) {
        return false;
    }
    security.descriptor.Reset(descriptor);
    security.attributes = {sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    return true;
}

// The namespace, made or opened into `made`; false where the system has
// none (Wine's CreateBoundaryDescriptorW is a stub that answers null).
bool OpenLockNamespace(LockSecurity& security, UniqueNamespace& made) {
    made.Reset();
    HANDLE boundary = kernel.CreateBoundaryDescriptorW(kRunLockNamespace, 0);
    if (!boundary) {
        return false;
    }
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD bytes = sizeof(administrators);
    if (advapi.CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &bytes) &&
        kernel.AddSIDToBoundaryDescriptor(&boundary, administrators)) {
        for (int i = 0; i < kNamespaceAttempts && !made; ++i) {
            made.Reset(
                kernel.CreatePrivateNamespaceW(&security.attributes, boundary, kRunLockNamespace));
            if (!made && kernel.GetLastError() == ERROR_ALREADY_EXISTS) {
                made.Reset(kernel.OpenPrivateNamespaceW(boundary, kRunLockNamespace));
            }
        }
    }
    DWORD code = kernel.GetLastError();
    kernel.DeleteBoundaryDescriptor(boundary);
    kernel.SetLastError(code);
    return true;
}

bool OwnedByAdministrators(HANDLE mutex) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (advapi.GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                               nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    UniqueLocal held(descriptor);
    // Windows gives every named object an owner; Wine keeps none for one made
    // without a security descriptor (and has one user, nobody to squat).
    if (!owner) {
        return true;
    }
    // What this installer makes is owned by its token's default owner: the
    // Administrators group for an elevated administrator, SYSTEM for SYSTEM.
    TokenSid buffer;
    PSID own = OwnTokenSid(TokenOwner, buffer);
    return (own && advapi.EqualSid(owner, own)) ||
           advapi.IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
           advapi.IsWellKnownSid(owner, WinLocalSystemSid);
}

// Where the system has no private namespaces: the global name, with the
// access list, and a lock someone else made first is no lock of ours.
UniqueHandle OpenGlobalLock(LockSecurity& security) {
    UniqueHandle mutex(kernel.CreateMutexW(&security.attributes, FALSE, kRunLockName));
    if (mutex && kernel.GetLastError() == ERROR_ALREADY_EXISTS &&
        !OwnedByAdministrators(mutex.Get())) {
        mutex.Reset();
        kernel.SetLastError(ERROR_ACCESS_DENIED);
    }
    return mutex;
}

}  // namespace

ScopedRunLock::ScopedRunLock() {
    LockSecurity security = {};
    if (!MakeLockSecurity(security)) {
        unavailable_ = kernel.GetLastError() ? kernel.GetLastError() : ERROR_INVALID_SECURITY_DESCR;
        return;
    }
    bool namespaces = OpenLockNamespace(security, namespace_);
    if (namespaces) {
        mutex_.Reset(namespace_
                         ? kernel.CreateMutexW(&security.attributes, FALSE, kRunLockInNamespace)
                         : nullptr);
    } else {
        mutex_ = OpenGlobalLock(security);
    }
    if (!mutex_) {
        unavailable_ = kernel.GetLastError() ? kernel.GetLastError() : ERROR_ACCESS_DENIED;
        return;
    }
    DWORD waited = kernel.WaitForSingleObject(mutex_.Get(), kRunLockWaitMinutes * 60 * 1000);
    // Abandoned: the run that held it was killed. The lock is this run's
    // now, and whatever that run left half done is for this one to mend.
    owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    timedOut_ = waited == WAIT_TIMEOUT;
    if (!owned_ && !timedOut_) {
        unavailable_ = kernel.GetLastError() ? kernel.GetLastError() : ERROR_INVALID_HANDLE;
    }
}

void ScopedRunLock::Release() {
    if (owned_) {
        kernel.ReleaseMutex(mutex_.Get());
        owned_ = false;
    }
    // The lock before the namespace it was made in.
    mutex_.Reset();
    namespace_.Reset();
}
