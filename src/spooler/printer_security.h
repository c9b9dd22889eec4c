// A printer's security descriptor, taken apart the way the spooler takes it:
// the access list goes with AddPrinterW, so that a re-created printer never
// exists with a wider one; owner and group follow at level 3, where the
// spooler accepts only an owner the caller's token holds; the auditing
// entries (SACL) only through a handle opened with ACCESS_SYSTEM_SECURITY.
#pragma once

#include <windows.h>

#include "core/install_run.h"
#include "core/kernel_api.h"
#include "core/handles.h"

enum class DescriptorPart { Dacl, OwnerGroupDacl, Sacl };

// A self-relative descriptor holding only `part` of `saved`. False when
// `saved` has no access list of that kind (the last error is then 0), or,
// with the error, when it could not be made.
bool PartOfDescriptor(PSECURITY_DESCRIPTOR saved, DescriptorPart part, UniqueGlobal& out);
bool HasAuditing(PSECURITY_DESCRIPTOR security);
// Enables SeSecurityPrivilege once per run. False, with the error kept in
// the run, when this account cannot: then no SACL is read or set.
bool CanAudit(InstallRun& run);
