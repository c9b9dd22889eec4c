#include "spooler/printer_properties.h"

#include <lmerr.h>

#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "spooler/enumerations.h"
#include "spooler/winspool_api.h"

namespace {

// ---- reading -------------------------------------------------------------------

// Keys the spooler writes itself for every printer it adds: DsSpooler is
// reserved to it (SetPrinterDataEx), DsDriver holds the driver's capabilities
// it publishes, PnPData the driver's identity. The new printer gets its own.
constexpr const wchar_t* kSpoolerKeys[] = {L"DsSpooler", L"DsDriver", L"PnPData"};
// "SubKey" keeps its own handling: the ANSI calls write it in both places.
constexpr const wchar_t* kSubKeyPlaces[] = {L"PrinterDriverData", L"DsUser"};
// Deeper than any driver goes; a loop of keys cannot be, but a bound costs nothing.
constexpr int kMaxKeyDepth = 16;

bool SameKeyName(const wchar_t* a, const wchar_t* b) {
    // The registry compares names without regard to case.
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
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
        if (SameKeyName(key, place) && SameKeyName(value, L"SubKey")) {
            return true;
        }
    }
    return false;
}

bool Failed(DWORD status) {
    SetLastError(status);
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
    int keyChars = lstrlenW(key);
    auto* path =
        static_cast<wchar_t*>(AllocGlobal((keyChars + 1 + lstrlenW(name) + 1) * sizeof(wchar_t)));
    if (path) {
        lstrcpyW(path, key);
        if (keyChars) {
            lstrcatW(path, L"\\");
        }
        lstrcatW(path, name);
    }
    return path;
}

bool ReadKeys(HANDLE printer, const wchar_t* key, int depth, RecordWriter& record) {
    UniqueGlobal names;
    if (!ReadSubkeyNames(printer, key, names)) {
        return false;
    }
    for (const auto* name = static_cast<const wchar_t*>(names.Get()); name && *name;
         name += lstrlenW(name) + 1) {
        if (depth == 0 && IsSpoolerKey(name)) {
            continue;
        }
        UniqueGlobal path(JoinKeyPath(key, name));
        if (!path) {
            return Failed(ERROR_NOT_ENOUGH_MEMORY);
        }
        const auto* child = static_cast<const wchar_t*>(path.Get());
        if (!ReadValues(printer, child, record) ||
            (depth + 1 < kMaxKeyDepth && !ReadKeys(printer, child, depth + 1, record))) {
            return false;
        }
    }
    return true;
}

// A spooler that keeps no security descriptors (Wine's refuses level 3)
// has none to carry.
bool ReadSecurity(HANDLE printer, BYTE& noSecurity, RecordWriter& record) {
    if (noSecurity) {
        return true;
    }
    DWORD needed = 0;
    SetLastError(ERROR_SUCCESS);
    if (winspool.GetPrinterW(printer, 3, nullptr, 0, &needed)) {
        return true;
    }
    DWORD status = GetLastError();
    if (status == ERROR_INVALID_LEVEL) {
        noSecurity = TRUE;
        return true;
    }
    if (status != ERROR_INSUFFICIENT_BUFFER) {
        return Failed(status);
    }
    UniqueGlobal block(AllocGlobal(needed));
    if (!block) {
        return Failed(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!winspool.GetPrinterW(printer, 3, static_cast<BYTE*>(block.Get()), needed, &needed)) {
        return false;
    }
    PSECURITY_DESCRIPTOR security = static_cast<PRINTER_INFO_3*>(block.Get())->pSecurityDescriptor;
    // The spooler's reply holds the self-relative form, the one a journal read accepts.
    if (security && IsValidSecurityDescriptor(security)) {
        PutBytes(record, RecordField::Security, security, GetSecurityDescriptorLength(security));
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
        PutBytes(record, RecordField::DevMode, entry.pDevMode,
                 DWORD{entry.pDevMode->dmSize} + entry.pDevMode->dmDriverExtra);
    }
}

// ---- giving it back ----------------------------------------------------------------

// What this machine answers, for good, when it will not take a property:
// the next install would be refused the same, so the property is let go.
struct Refusals {
    const wchar_t* what;
    DWORD codes[6];
};
constexpr Refusals kSharing = {
    L"sharing",
    {NERR_ServerNotStarted, NERR_DuplicateShare, ERROR_INVALID_SHARENAME, ERROR_NOT_SUPPORTED}};
constexpr Refusals kSeparator = {
    L"separator page", {ERROR_INVALID_SEPARATOR_FILE, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND}};
constexpr Refusals kDatatype = {L"datatype and print processor parameters",
                                {ERROR_INVALID_DATATYPE, ERROR_INVALID_PARAMETER}};
// A driver that cannot be loaded is not one of these: the next install may
// bring a working one.
constexpr Refusals kPrintDefaults = {
    L"print defaults", {ERROR_INVALID_PARAMETER, ERROR_INVALID_DATA, ERROR_NOT_SUPPORTED}};
constexpr Refusals kSecurity = {
    L"permissions", {ERROR_INVALID_SECURITY_DESCR, ERROR_INVALID_LEVEL, ERROR_NOT_SUPPORTED}};
constexpr Refusals kPublishing = {
    L"directory publishing",
    {ERROR_INVALID_LEVEL, ERROR_NOT_SUPPORTED, ERROR_NO_SUCH_DOMAIN,
     ERROR_DOMAIN_CONTROLLER_NOT_FOUND, ERROR_CANT_ACCESS_DOMAIN_INFO}};
constexpr Refusals kPrinterData = {L"printer data",
                                   {ERROR_INVALID_PARAMETER, ERROR_INVALID_DATATYPE}};
// The directory service's own errors: a machine outside a domain, a domain
// that does not publish printers.
constexpr DWORD kFirstDirectoryError = 8200;
constexpr DWORD kLastDirectoryError = 8999;

bool RefusedForGood(const Refusals& refusals, DWORD code) {
    for (DWORD refused : refusals.codes) {
        if (refused && refused == code) {
            return true;
        }
    }
    return &refusals == &kPublishing && code >= kFirstDirectoryError && code <= kLastDirectoryError;
}

// One restore's progress: the first failure that keeps the printer journaled.
struct Applying {
    InstallRun& run;
    const wchar_t* name;
    DWORD failure;
};

// The line of a property let go: which one, and the system's text of the refusal.
void LetGo(Applying& applying, const wchar_t* what, const wchar_t* detail, DWORD code) {
    wchar_t* text = SystemErrorText(code);
    LogLine(applying.run,
            "Printer '%s' came back without its %s%s, which this machine refuses - (%s)",
            ShownName(applying.name, kUnnamedPrinter), what, detail, text ? text : L"");
    LocalFree(text);
}

// A property that did not take is let go when this machine refuses it for
// good; otherwise the printer stays journaled for the next install.
void Settle(Applying& applying, const Refusals& refusals, bool taken, DWORD code,
            const wchar_t* detail = L"") {
    if (taken) {
        return;
    }
    if (RefusedForGood(refusals, code)) {
        LetGo(applying, refusals.what, detail, code);
    } else if (!applying.failure) {
        applying.failure = code ? code : ERROR_GEN_FAILURE;
    }
}

bool SamePrintDefaultsLayout(const DEVMODEW& a, const DEVMODEW& b) {
    return a.dmSize == b.dmSize && a.dmDriverExtra == b.dmDriverExtra &&
           a.dmDriverVersion == b.dmDriverVersion && a.dmSpecVersion == b.dmSpecVersion;
}

// A driver that fails a merge without saying why refuses the saved defaults:
// ERROR_INVALID_DATA, which lets them go rather than re-create the printer at
// every install for the same refusal.
const DEVMODEW* RefusedPrintDefaults() {
    if (GetLastError() == ERROR_SUCCESS) {
        SetLastError(ERROR_INVALID_DATA);
    }
    return nullptr;
}

// The saved print defaults as the new printer's driver takes them: whole when
// that driver wrote them (same size and version), otherwise their public
// settings merged by the driver into its own DEVMODE. Null, with the error,
// when the driver could not merge them.
const DEVMODEW* PrintDefaultsFor(HANDLE printer, const wchar_t* name, const DEVMODEW* current,
                                 const DEVMODEW& saved, UniqueGlobal& merged) {
    if (!current || SamePrintDefaultsLayout(*current, saved)) {
        return &saved;
    }
    auto* device = const_cast<LPWSTR>(name);
    SetLastError(ERROR_SUCCESS);
    LONG bytes = winspool.DocumentPropertiesW(nullptr, printer, device, nullptr, nullptr, 0);
    if (bytes <= 0) {
        return RefusedPrintDefaults();
    }
    // Too small for a DEVMODE: a driver that cannot merge.
    if (bytes < static_cast<LONG>(offsetof(DEVMODEW, dmFields) + sizeof(DWORD))) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    merged.Reset(AllocGlobal(bytes));
    auto* out = static_cast<DEVMODEW*>(merged.Get());
    if (!out) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Wine takes the output's room from its dmSize; Windows from the size
    // query and overwrites it.
    out->dmSize = static_cast<WORD>(bytes > 0xFFFF ? 0xFFFF : bytes);
    auto* in = const_cast<DEVMODEW*>(&saved);
    SetLastError(ERROR_SUCCESS);
    if (winspool.DocumentPropertiesW(nullptr, printer, device, out, in,
                                     DM_IN_BUFFER | DM_OUT_BUFFER) != IDOK) {
        return RefusedPrintDefaults();
    }
    return out;
}

// Comment, location, attributes (but sharing and publishing), priorities and
// times: what any printer takes.
void PutBase(PRINTER_INFO_2W& wanted, const CarriedProperties& saved) {
    wanted.pComment = const_cast<LPWSTR>(saved.comment);
    wanted.pLocation = const_cast<LPWSTR>(saved.location);
    wanted.pSecurityDescriptor = nullptr;
    if (Holds(saved, RecordField::Attributes)) {
        DWORD own = kCarriedAttributes & ~(PRINTER_ATTRIBUTE_SHARED | PRINTER_ATTRIBUTE_PUBLISHED);
        wanted.Attributes = (wanted.Attributes & ~own) | (saved.attributes & own);
    }
    if (Holds(saved, RecordField::Priority)) {
        wanted.Priority = saved.priority;
    }
    if (Holds(saved, RecordField::DefaultPriority)) {
        wanted.DefaultPriority = saved.defaultPriority;
    }
    if (Holds(saved, RecordField::StartTime)) {
        wanted.StartTime = saved.startTime;
    }
    if (Holds(saved, RecordField::UntilTime)) {
        wanted.UntilTime = saved.untilTime;
    }
}

void PutSharing(PRINTER_INFO_2W& wanted, const CarriedProperties& saved) {
    if (Holds(saved, RecordField::Attributes)) {
        wanted.Attributes = (wanted.Attributes & ~PRINTER_ATTRIBUTE_SHARED) |
                            (saved.attributes & PRINTER_ATTRIBUTE_SHARED);
    }
    if (Holds(saved, RecordField::ShareName)) {
        wanted.pShareName = const_cast<LPWSTR>(saved.shareName);
    }
}

void PutSeparator(PRINTER_INFO_2W& wanted, const CarriedProperties& saved) {
    if (Holds(saved, RecordField::SepFile)) {
        wanted.pSepFile = const_cast<LPWSTR>(saved.sepFile);
    }
}

void PutDatatype(PRINTER_INFO_2W& wanted, const CarriedProperties& saved) {
    if (Holds(saved, RecordField::Datatype)) {
        wanted.pDatatype = const_cast<LPWSTR>(saved.datatype);
    }
    if (Holds(saved, RecordField::Parameters)) {
        wanted.pParameters = const_cast<LPWSTR>(saved.parameters);
    }
}

bool SetLevel2(HANDLE printer, PRINTER_INFO_2W& info) {
    return winspool.SetPrinterW(printer, 2, reinterpret_cast<BYTE*>(&info), 0);
}

using PutGroup = void (*)(PRINTER_INFO_2W&, const CarriedProperties&);

// After a refusal of the whole record: the base alone, then each group on
// its own, so that what this machine refuses for good is let go and the rest
// still takes.
void SetGroupByGroup(Applying& applying, HANDLE printer, PRINTER_INFO_2W wanted,
                     const CarriedProperties& saved, const DEVMODEW* defaults) {
    wanted.pDevMode = nullptr;
    PutBase(wanted, saved);
    if (!SetLevel2(printer, wanted)) {
        Settle(applying, Refusals{}, false, GetLastError());
        return;
    }
    struct Group {
        PutGroup put;
        const Refusals& refusals;
    };
    const Group groups[] = {
        {&PutSharing, kSharing}, {&PutSeparator, kSeparator}, {&PutDatatype, kDatatype}};
    for (const Group& group : groups) {
        PRINTER_INFO_2W tried = wanted;
        group.put(tried, saved);
        bool taken = SetLevel2(printer, tried);
        Settle(applying, group.refusals, taken, GetLastError());
        wanted = taken ? tried : wanted;
    }
    if (defaults) {
        wanted.pDevMode = const_cast<DEVMODEW*>(defaults);
        Settle(applying, kPrintDefaults, SetLevel2(printer, wanted), GetLastError());
    }
}

void SetRecord(Applying& applying, HANDLE printer, const PRINTER_INFO_2W& current,
               const CarriedProperties& saved) {
    UniqueGlobal merged;
    const DEVMODEW* defaults = nullptr;
    if (saved.devMode) {
        defaults =
            PrintDefaultsFor(printer, applying.name, current.pDevMode, *saved.devMode, merged);
        Settle(applying, kPrintDefaults, defaults != nullptr, GetLastError());
    }
    PRINTER_INFO_2W wanted = current;
    PutBase(wanted, saved);
    PutSharing(wanted, saved);
    PutSeparator(wanted, saved);
    PutDatatype(wanted, saved);
    if (defaults) {
        wanted.pDevMode = const_cast<DEVMODEW*>(defaults);
    }
    if (!SetLevel2(printer, wanted)) {
        SetGroupByGroup(applying, printer, current, saved, defaults);
    }
}

void SetSecurity(Applying& applying, HANDLE printer, const CarriedProperties& saved) {
    if (!saved.security) {
        return;
    }
    PRINTER_INFO_3 info = {saved.security};
    bool taken = winspool.SetPrinterW(printer, 3, reinterpret_cast<BYTE*>(&info), 0);
    Settle(applying, kSecurity, taken, GetLastError());
}

// Publishing goes through level 7, never level 2; the spooler may finish it
// later (ERROR_IO_PENDING).
void Publish(Applying& applying, HANDLE printer, const CarriedProperties& saved) {
    if (!(saved.attributes & PRINTER_ATTRIBUTE_PUBLISHED)) {
        return;
    }
    PRINTER_INFO_7W info = {nullptr, DSPRINT_PUBLISH};
    bool taken = winspool.SetPrinterW(printer, 7, reinterpret_cast<BYTE*>(&info), 0) ||
                 GetLastError() == ERROR_IO_PENDING;
    Settle(applying, kPublishing, taken, GetLastError());
}

void SetPrinterData(Applying& applying, HANDLE printer, const CarriedProperties& saved) {
    PrinterDataValue value = {};
    for (DWORD cursor = 0; NextPrinterData(saved, cursor, value);) {
        DWORD status = winspool.SetPrinterDataExW(printer, value.key, value.name, value.type,
                                                  const_cast<BYTE*>(value.data), value.bytes);
        // The value's name as the log shows it, " 'key\\name'"; wsprintfW
        // writes at most kLogLineChars characters, terminator included.
        wchar_t detail[kLogLineChars];
        wsprintfW(detail, L" '%s\\%s'", value.key, value.name);
        Settle(applying, kPrinterData, status == ERROR_SUCCESS, status, detail);
    }
}

}  // namespace

bool ReadPrinterProperties(HANDLE printer, const PRINTER_INFO_2W& entry, BYTE& noSecurity,
                           RecordWriter& record) {
    PutEntry(entry, record);
    if (!ReadSecurity(printer, noSecurity, record) || !ReadKeys(printer, L"", 0, record)) {
        return false;
    }
    return !record.failed || Failed(ERROR_NOT_ENOUGH_MEMORY);
}

bool ApplyPrinterProperties(InstallRun& run, HANDLE printer, const wchar_t* name,
                            const CarriedProperties& saved) {
    Applying applying = {run, name, 0};
    PrinterInfoBuffer info;
    GetPrinterInfo2(info, printer);
    UniqueGlobal held(info.buffer);
    if (!info.buffer) {
        return false;
    }
    SetRecord(applying, printer, *info.buffer, saved);
    SetSecurity(applying, printer, saved);
    Publish(applying, printer, saved);
    SetPrinterData(applying, printer, saved);
    if (Holds(saved, RecordField::Default) &&
        !winspool.SetDefaultPrinterW(info.buffer->pPrinterName)) {
        Settle(applying, Refusals{}, false, GetLastError());
    }
    SetLastError(applying.failure);
    return applying.failure == 0;
}
