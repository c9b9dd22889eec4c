#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "spooler/enumerations.h"
#include "spooler/printer_properties.h"
#include "spooler/printer_security.h"
#include "spooler/winspool_api.h"
#include "core/advapi_api.h"

namespace {

// The auditing entries come only with ACCESS_SYSTEM_SECURITY.
constexpr DWORD kAuditedReadAccess = PRINTER_ACCESS_USE | READ_CONTROL | ACCESS_SYSTEM_SECURITY;

// Keys the spooler writes itself: DsSpooler is reserved to it
// (SetPrinterDataEx), DsDriver holds the driver's capabilities it publishes,
// PnPData the driver's identity, and CopyFiles the queue's Point and Print
// files, whose "Module" DLL the spooler loads at every later
// SetPrinterDataEx ("Point and Print DLLs"): replayed by an elevated
// reinstall, it would be a DLL anyone who may manage the printer named. The
// new printer gets its own.
constexpr const wchar_t* kSpoolerKeys[] = {L"DsSpooler", L"DsDriver", L"PnPData", L"CopyFiles"};
// "SubKey" keeps its own handling: the ANSI calls write it in both places.
constexpr const wchar_t* kSubKeyPlaces[] = {L"PrinterDriverData", kDsUserKeyW};

bool SameKeyName(const wchar_t* a, const wchar_t* b) {
    // The registry compares names without regard to case.
    return kernel.CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

bool IsSpoolerKey(const wchar_t* key) {
    for (const wchar_t* own : kSpoolerKeys) {
        if (SameKeyName(key, own)) {
            return true;
        }
    }
    return false;
}

bool IsSubKeyValue(const wchar_t* key, const wchar_t* value) {
    for (const wchar_t* place : kSubKeyPlaces) {
        if (SameKeyName(key, place) && SameKeyName(value, kSubKeyValueW)) {
            return true;
        }
    }
    return false;
}

bool Failed(DWORD status) {
    kernel.SetLastError(status);
    return false;
}

// Most keys' values and subkeys fit in a first block of this size: one call
// instead of the spooler's two-call size protocol, which a reinstall would
// otherwise pay twice for every key of every printer.
constexpr DWORD kFirstBlockBytes = 2048;

// Calls `query(block, bytes, needed)` into a first block, and once more into
// one of the size the spooler asked for. The block holds two zero characters
// more than it offers: a list then ends in two zeros whatever was written.
template <typename Query>
DWORD QueryIntoBlock(Query query, UniqueGlobal& block) {
    DWORD bytes = kFirstBlockBytes;
    for (int attempt = 0; attempt < 2; ++attempt) {
        block.Reset(AllocGlobal(bytes + 2 * sizeof(wchar_t)));
        if (!block) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        DWORD needed = 0;
        DWORD status = query(static_cast<BYTE*>(block.Get()), bytes, needed);
        if (status != ERROR_MORE_DATA || needed <= bytes) {
            return status;
        }
        bytes = needed;
    }
    return ERROR_MORE_DATA;
}

// The values of one key, in one block of PRINTER_ENUM_VALUESW.
bool ReadValues(HANDLE printer, const wchar_t* key, RecordWriter& record) {
    DWORD count = 0;
    UniqueGlobal block;
    DWORD status = QueryIntoBlock(
        [&](BYTE* data, DWORD bytes, DWORD& needed) {
            return winspool.EnumPrinterDataExW(printer, key, data, bytes, &needed, &count);
        },
        block);
    if (status == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    if (status != ERROR_SUCCESS) {
        return Failed(status);
    }
    const auto* values = static_cast<const PRINTER_ENUM_VALUESW*>(block.Get());
    for (DWORD i = 0; i < count; ++i) {
        if (values[i].pValueName && !IsSubKeyValue(key, values[i].pValueName)) {
            PutPrinterData(record, key, values[i].pValueName, values[i].dwType, values[i].pData,
                           values[i].cbData);
        }
    }
    return true;
}

// The names of the keys right below `key` ("" for the printer's own), as the
// spooler lists them: each with its terminator, and one more.
bool ReadSubkeyNames(HANDLE printer, const wchar_t* key, UniqueGlobal& names) {
    DWORD status = QueryIntoBlock(
        [&](BYTE* data, DWORD bytes, DWORD& needed) {
            return winspool.EnumPrinterKeyW(printer, key, reinterpret_cast<wchar_t*>(data), bytes,
                                            &needed);
        },
        names);
    if (status == ERROR_FILE_NOT_FOUND) {
        names.Reset();
        return true;
    }
    return status == ERROR_SUCCESS || Failed(status);
}

// "key\\name", or "name" below the printer's own key; null without memory.
wchar_t* JoinKeyPath(const wchar_t* key, const wchar_t* name) {
    int keyChars = kernel.lstrlenW(key);
    auto* path = static_cast<wchar_t*>(
        AllocGlobal((keyChars + 1 + kernel.lstrlenW(name) + 1) * sizeof(wchar_t)));
    if (path) {
        kernel.lstrcpyW(path, key);
        if (keyChars) {
            kernel.lstrcatW(path, L"\\");
        }
        kernel.lstrcatW(path, name);
    }
    return path;
}

// Every key to any depth: the registry itself keeps no more than 512 levels,
// and a key cannot hold itself.
bool ReadKeys(HANDLE printer, const wchar_t* key, int depth, RecordWriter& record) {
    UniqueGlobal names;
    if (!ReadSubkeyNames(printer, key, names)) {
        return false;
    }
    for (const auto* name = static_cast<const wchar_t*>(names.Get()); name && *name;
         name += kernel.lstrlenW(name) + 1) {
        if (depth == 0 && IsSpoolerKey(name)) {
            continue;
        }
        UniqueGlobal path(JoinKeyPath(key, name));
        if (!path) {
            return Failed(ERROR_NOT_ENOUGH_MEMORY);
        }
        const auto* child = static_cast<const wchar_t*>(path.Get());
        if (!ReadValues(printer, child, record) || !ReadKeys(printer, child, depth + 1, record)) {
            return false;
        }
    }
    return true;
}

// Level 3 of `printer`, as the spooler's two-call size protocol gives it.
bool ReadLevel3(HANDLE printer, UniqueGlobal& block) {
    DWORD needed = 0;
    SizedRead read = ReadSized(
        [&](BYTE* data, DWORD bytes, DWORD& asked) {
            return winspool.GetPrinterW(printer, 3, data, bytes, &asked);
        },
        block, needed);
    return read == SizedRead::NoMemory ? Failed(ERROR_NOT_ENOUGH_MEMORY) : read == SizedRead::Read;
}

// The spooler gives the auditing entries only to a handle opened with
// ACCESS_SYSTEM_SECURITY, which needs SeSecurityPrivilege enabled. Without
// it the printer goes without them, and the run says so once.
bool ReadAuditedLevel3(InstallRun& run, const wchar_t* name, UniqueGlobal& block) {
    if (!CanAudit(run)) {
        if (!run.auditingSaid) {
            run.auditingSaid = TRUE;
            wchar_t* text = SystemErrorText(kernel.GetLastError());
            LogLine(run,
                    "Printers are taken out without their auditing entries (SACL): this account "
                    "cannot enable SeSecurityPrivilege - (%s)",
                    text ? text : L"");
            LocalFree(text);
        }
        return false;
    }
    PRINTER_DEFAULTSW access = {nullptr, nullptr, kAuditedReadAccess};
    UniquePrinter audited;
    return OpenPrinterInto(name, &access, audited) && ReadLevel3(audited.Get(), block);
}

// A spooler that keeps no security descriptors (Wine's refuses level 3)
// has none to carry.
bool ReadSecurity(InstallRun& run, HANDLE printer, const wchar_t* name, RecordWriter& record) {
    if (run.spoolerKeepsNoSecurity) {
        return true;
    }
    UniqueGlobal block;
    if (!ReadLevel3(printer, block)) {
        DWORD status = kernel.GetLastError();
        if (status == ERROR_SUCCESS) {
            return true;
        }
        if (status != ERROR_INVALID_LEVEL) {
            return false;
        }
        run.spoolerKeepsNoSecurity = TRUE;
        return true;
    }
    // With the privilege, a descriptor without its auditing entries would
    // lose them: the printer is not taken out then.
    UniqueGlobal audited;
    if (ReadAuditedLevel3(run, name, audited)) {
        block = static_cast<UniqueGlobal&&>(audited);
    } else if (run.auditing == 1) {
        return false;
    }
    PSECURITY_DESCRIPTOR security = static_cast<PRINTER_INFO_3*>(block.Get())->pSecurityDescriptor;
    // The spooler's reply holds the self-relative form, the one a journal read accepts.
    if (security && advapi.IsValidSecurityDescriptor(security)) {
        PutBytes(record, RecordField::Security, security,
                 advapi.GetSecurityDescriptorLength(security));
    }
    return true;
}

bool WasProductDefault(const PRINTER_INFO_2W& entry) {
    return (entry.Attributes & PRINTER_ATTRIBUTE_DEFAULT) != 0 &&
           IsProductDriver(entry.pDriverName);
}

void PutEntry(const PRINTER_INFO_2W& entry, RecordWriter& record) {
    PutText(record, RecordField::Comment, entry.pComment);
    PutText(record, RecordField::Location, entry.pLocation);
    if (WasProductDefault(entry)) {
        PutFlag(record, RecordField::Default);
    }
    PutText(record, RecordField::ShareName, entry.pShareName);
    PutNumber(record, RecordField::Attributes, entry.Attributes & kCarriedAttributes);
    PutNumber(record, RecordField::Priority, entry.Priority);
    PutNumber(record, RecordField::DefaultPriority, entry.DefaultPriority);
    PutNumber(record, RecordField::StartTime, entry.StartTime);
    PutNumber(record, RecordField::UntilTime, entry.UntilTime);
    PutText(record, RecordField::SepFile, entry.pSepFile);
    PutText(record, RecordField::Datatype, entry.pDatatype);
    PutText(record, RecordField::Parameters, entry.pParameters);
    if (entry.pDevMode) {
        PutDevMode(record, entry.pDevMode);
    }
}

}  // namespace

bool ReadPrinterProperties(InstallRun& run, HANDLE printer, const PRINTER_INFO_2W& entry,
                           RecordWriter& record) {
    PutEntry(entry, record);
    if (!ReadSecurity(run, printer, entry.pPrinterName, record) ||
        !ReadKeys(printer, L"", 0, record)) {
        return false;
    }
    return !record.failed || Failed(ERROR_NOT_ENOUGH_MEMORY);
}
