#include "spooler/printer_properties.h"

#include <lmerr.h>

#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"
#include "spooler/enumerations.h"
#include "spooler/printer_security.h"
#include "spooler/winspool_api.h"
#include "core/user_api.h"

namespace {

// What this machine answers, for good, when it will not take a property:
// the next install would be refused the same, so the property is let go.
// Anything else (the Server service not started yet, a share or a driver's
// files not there yet, no memory, a spooler that does not answer) passes:
// the property stays owed, for the next install.
struct Refusals {
    const wchar_t* what;
    DWORD fields;
    DWORD codes[6];
};
constexpr DWORD kBaseFields = FieldBit(RecordField::Comment) | FieldBit(RecordField::Location) |
                              FieldBit(RecordField::Attributes) | FieldBit(RecordField::Priority) |
                              FieldBit(RecordField::DefaultPriority) |
                              FieldBit(RecordField::StartTime) | FieldBit(RecordField::UntilTime);
// What level 2 carries: when it cannot be set at all, all of it is owed.
constexpr Refusals kLevel2 = {L"settings",
                              kBaseFields | FieldBit(RecordField::ShareName) |
                                  FieldBit(RecordField::SepFile) | FieldBit(RecordField::Datatype) |
                                  FieldBit(RecordField::Parameters) |
                                  FieldBit(RecordField::DevMode),
                              {}};
constexpr Refusals kSharing = {L"sharing",
                               FieldBit(RecordField::ShareName) | FieldBit(RecordField::Attributes),
                               {NERR_DuplicateShare, ERROR_INVALID_SHARENAME, ERROR_NOT_SUPPORTED}};
constexpr Refusals kSeparator = {
    L"separator page", FieldBit(RecordField::SepFile), {ERROR_INVALID_SEPARATOR_FILE}};
constexpr Refusals kDatatype = {L"datatype and print processor parameters",
                                FieldBit(RecordField::Datatype) | FieldBit(RecordField::Parameters),
                                {ERROR_INVALID_DATATYPE, ERROR_INVALID_PARAMETER}};
constexpr Refusals kPrintDefaults = {L"print defaults",
                                     FieldBit(RecordField::DevMode),
                                     {ERROR_INVALID_PARAMETER, ERROR_NOT_SUPPORTED}};
constexpr Refusals kSecurity = {
    L"permissions",
    FieldBit(RecordField::Security),
    {ERROR_INVALID_SECURITY_DESCR, ERROR_INVALID_ACL, ERROR_INVALID_LEVEL, ERROR_NOT_SUPPORTED}};
// Auditing needs SeSecurityPrivilege, which this account has or has not.
constexpr Refusals kAuditing = {L"auditing entries (SACL)",
                                FieldBit(RecordField::Security),
                                {ERROR_PRIVILEGE_NOT_HELD, ERROR_NOT_ALL_ASSIGNED,
                                 ERROR_INVALID_SECURITY_DESCR, ERROR_INVALID_ACL}};
// A spooler or machine without a directory, or a domain that is not there
// any more. A domain controller out of reach passes.
constexpr Refusals kPublishing = {L"directory publishing",
                                  FieldBit(RecordField::Attributes),
                                  {ERROR_INVALID_LEVEL, ERROR_NOT_SUPPORTED, ERROR_NO_SUCH_DOMAIN}};
constexpr Refusals kPrinterData = {L"printer data",
                                   FieldBit(RecordField::PrinterData),
                                   {ERROR_INVALID_PARAMETER, ERROR_INVALID_DATATYPE}};
constexpr Refusals kDefault = {L"default mark", FieldBit(RecordField::Default), {}};
// The directory service's own errors: a domain that does not publish
// printers; but busy, unavailable or down pass.
constexpr DWORD kFirstDirectoryError = 8200;
constexpr DWORD kLastDirectoryError = 8999;
constexpr DWORD kPassingDirectoryErrors[] = {ERROR_DS_BUSY, ERROR_DS_UNAVAILABLE,
                                             ERROR_DS_SERVER_DOWN};

bool IsPassingDirectoryError(DWORD code) {
    for (DWORD passing : kPassingDirectoryErrors) {
        if (code == passing) {
            return true;
        }
    }
    return code < kFirstDirectoryError || code > kLastDirectoryError;
}

bool RefusedForGood(const Refusals& refusals, DWORD code) {
    for (DWORD refused : refusals.codes) {
        if (refused && refused == code) {
            return true;
        }
    }
    return &refusals == &kPublishing && !IsPassingDirectoryError(code);
}

// One restore's progress: the first failure and what stays owed.
struct Applying {
    InstallRun& run;
    const wchar_t* name;
    DWORD failure;
    DWORD owed;
};

void LogWithText(InstallRun& run, const char* format, const wchar_t* name, const wchar_t* what,
                 const wchar_t* detail, DWORD code) {
    wchar_t* text = SystemErrorText(code);
    LogLine(run, format, ShownName(name, kUnnamedPrinter), what, detail, text ? text : L"");
    LocalFree(text);
}

// The line of a property let go: which one, and the system's text of the refusal.
void LetGo(Applying& applying, const wchar_t* what, const wchar_t* detail, DWORD code) {
    LogWithText(applying.run,
                "Printer '%s' came back without its %s%s, which this machine refuses - (%s)",
                applying.name, what, detail, code);
}

// A property that did not take is let go when this machine refuses it for
// good; otherwise it stays owed.
void Settle(Applying& applying, const Refusals& refusals, bool taken, DWORD code,
            const wchar_t* detail = L"") {
    if (taken) {
        return;
    }
    if (RefusedForGood(refusals, code)) {
        LetGo(applying, refusals.what, detail, code);
        return;
    }
    applying.failure = applying.failure ? applying.failure : code ? code : ERROR_GEN_FAILURE;
    applying.owed |= refusals.fields;
}

// A driver that fails a merge without saying why may work once its files
// are in place (after the restart an exit code 101 asks for).
const DEVMODEW* MergeFailed() {
    if (kernel.GetLastError() == ERROR_SUCCESS) {
        kernel.SetLastError(ERROR_GEN_FAILURE);
    }
    return nullptr;
}

// The saved print defaults as the new printer's driver takes them: always
// through its DocumentPropertiesW, which validates them and merges their
// public settings into its own DEVMODE (SetPrinter asks for a DEVMODE that
// DocumentProperties has validated). Null, with the error, when the driver
// could not merge them.
const DEVMODEW* PrintDefaultsFor(HANDLE printer, const wchar_t* name, const DEVMODEW& saved,
                                 UniqueGlobal& merged) {
    auto* device = const_cast<LPWSTR>(name);
    kernel.SetLastError(ERROR_SUCCESS);
    LONG bytes = winspool.DocumentPropertiesW(nullptr, printer, device, nullptr, nullptr, 0);
    if (bytes <= 0) {
        return MergeFailed();
    }
    // Too small for a DEVMODE: a driver that cannot merge.
    if (bytes < static_cast<LONG>(offsetof(DEVMODEW, dmFields) + sizeof(DWORD))) {
        kernel.SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    merged.Reset(AllocGlobal(bytes));
    auto* out = static_cast<DEVMODEW*>(merged.Get());
    if (!out) {
        kernel.SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Wine takes the output's room from its dmSize; Windows from the size
    // query and overwrites it.
    out->dmSize = static_cast<WORD>(bytes > 0xFFFF ? 0xFFFF : bytes);
    auto* in = const_cast<DEVMODEW*>(&saved);
    kernel.SetLastError(ERROR_SUCCESS);
    if (winspool.DocumentPropertiesW(nullptr, printer, device, out, in,
                                     DM_IN_BUFFER | DM_OUT_BUFFER) != IDOK) {
        return MergeFailed();
    }
    return out;
}

// What the driver gave the new printer is its own, validated: the same
// settings need no merge. The device name in front is the printer's name,
// which the spooler writes with whatever followed it in its buffer.
bool IsOwnDevMode(const DEVMODEW* current, const DEVMODEW& saved) {
    constexpr DWORD kSettings = offsetof(DEVMODEW, dmSpecVersion);
    DWORD bytes = DWORD{saved.dmSize} + saved.dmDriverExtra;
    return current && DWORD{current->dmSize} + current->dmDriverExtra == bytes &&
           SameBytes(&current->dmSpecVersion, &saved.dmSpecVersion, bytes - kSettings);
}

// Comment, location, attributes (but sharing and publishing), priorities and
// times: what any printer takes. A text the record does not hold stays as it is.
void PutBase(PRINTER_INFO_2W& wanted, const CarriedProperties& saved) {
    wanted.pComment = saved.comment ? const_cast<LPWSTR>(saved.comment) : wanted.pComment;
    wanted.pLocation = saved.location ? const_cast<LPWSTR>(saved.location) : wanted.pLocation;
    // The access list went with AddPrinterW, owner and group at level 3.
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
        Settle(applying, kLevel2, false, kernel.GetLastError());
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
        Settle(applying, group.refusals, taken, kernel.GetLastError());
        wanted = taken ? tried : wanted;
    }
    if (defaults) {
        wanted.pDevMode = const_cast<DEVMODEW*>(defaults);
        Settle(applying, kPrintDefaults, SetLevel2(printer, wanted), kernel.GetLastError());
    }
}

// Level 2 as the printer is now (its printer data back, which a driver may
// keep its installable options in), with the saved record over it.
void SetRecord(Applying& applying, HANDLE printer, const CarriedProperties& saved) {
    PrinterInfoBuffer info;
    GetPrinterInfo2(info, printer);
    UniqueGlobal held(info.buffer);
    if (!info.buffer) {
        Settle(applying, kLevel2, false, kernel.GetLastError());
        return;
    }
    UniqueGlobal merged;
    const DEVMODEW* defaults = nullptr;
    if (saved.devMode && !IsOwnDevMode(info.buffer->pDevMode, *saved.devMode)) {
        defaults = PrintDefaultsFor(printer, applying.name, *saved.devMode, merged);
        Settle(applying, kPrintDefaults, defaults != nullptr, kernel.GetLastError());
    }
    PRINTER_INFO_2W wanted = *info.buffer;
    PutBase(wanted, saved);
    PutSharing(wanted, saved);
    PutSeparator(wanted, saved);
    PutDatatype(wanted, saved);
    if (defaults) {
        wanted.pDevMode = const_cast<DEVMODEW*>(defaults);
    }
    if (!SetLevel2(printer, wanted)) {
        SetGroupByGroup(applying, printer, *info.buffer, saved, defaults);
    }
}

bool SetLevel3(HANDLE printer, const UniqueGlobal& security) {
    PRINTER_INFO_3 info = {security.Get()};
    return winspool.SetPrinterW(printer, 3, reinterpret_cast<BYTE*>(&info), 0);
}

// Owner and group where this account may set them: the spooler refuses an
// owner its token does not hold (ERROR_INVALID_OWNER), such as the account a
// package installed the printer as, or one that is gone. Then the printer
// keeps the spooler's owner, and the access list is set alone.
void SetOwnerAndGroup(Applying& applying, HANDLE printer, const CarriedProperties& saved) {
    UniqueGlobal part;
    if (!saved.security) {
        return;
    }
    if (!PartOfDescriptor(saved.security, DescriptorPart::OwnerGroupDacl, part)) {
        Settle(applying, kSecurity, kernel.GetLastError() == ERROR_SUCCESS, kernel.GetLastError());
        return;
    }
    if (SetLevel3(printer, part)) {
        return;
    }
    DWORD code = kernel.GetLastError();
    if (code != ERROR_INVALID_OWNER && code != ERROR_INVALID_PRIMARY_GROUP) {
        Settle(applying, kSecurity, false, code);
        return;
    }
    LogWithText(applying.run,
                "Printer '%s' came back with the spooler's %s%s: this account may not set its "
                "own - (%s)",
                applying.name, L"owner and group", L"", code);
    bool taken =
        PartOfDescriptor(saved.security, DescriptorPart::Dacl, part) && SetLevel3(printer, part);
    Settle(applying, kSecurity, taken, kernel.GetLastError());
}

// The auditing entries go through a handle of their own, opened with
// ACCESS_SYSTEM_SECURITY under SeSecurityPrivilege.
void SetAuditing(Applying& applying, const CarriedProperties& saved) {
    UniqueGlobal part;
    if (!HasAuditing(saved.security)) {
        return;
    }
    if (!CanAudit(applying.run)) {
        Settle(applying, kAuditing, false, kernel.GetLastError());
        return;
    }
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS | ACCESS_SYSTEM_SECURITY};
    UniquePrinter audited;
    bool taken = PartOfDescriptor(saved.security, DescriptorPart::Sacl, part) &&
                 OpenPrinterInto(applying.name, &access, audited) && SetLevel3(audited.Get(), part);
    Settle(applying, kAuditing, taken, kernel.GetLastError());
}

// Publishing goes through level 7, never level 2, and after the printer
// data: what is published is read from there. The spooler may finish it
// later (ERROR_IO_PENDING).
void Publish(Applying& applying, HANDLE printer, const CarriedProperties& saved) {
    if (!Holds(saved, RecordField::Attributes) ||
        !(saved.attributes & PRINTER_ATTRIBUTE_PUBLISHED)) {
        return;
    }
    PRINTER_INFO_7W info = {nullptr, DSPRINT_PUBLISH};
    bool taken = winspool.SetPrinterW(printer, 7, reinterpret_cast<BYTE*>(&info), 0) ||
                 kernel.GetLastError() == ERROR_IO_PENDING;
    Settle(applying, kPublishing, taken, kernel.GetLastError());
}

void SetPrinterData(Applying& applying, HANDLE printer, const CarriedProperties& saved) {
    PrinterDataValue value = {};
    for (DWORD cursor = 0; NextPrinterData(saved, cursor, value);) {
        DWORD status = winspool.SetPrinterDataExW(printer, value.key, value.name, value.type,
                                                  const_cast<BYTE*>(value.data), value.bytes);
        // The value's name as the log shows it, " 'key\\name'"; wsprintfW
        // writes at most kLogLineChars characters, terminator included.
        wchar_t detail[kLogLineChars];
        user.wsprintfW(detail, L" '%s\\%s'", value.key, value.name);
        Settle(applying, kPrinterData, status == ERROR_SUCCESS, status, detail);
    }
}

void SetDefault(Applying& applying, HANDLE printer, const CarriedProperties& saved) {
    if (!Holds(saved, RecordField::Default)) {
        return;
    }
    // The name as the spooler reports it for the new printer.
    PrinterInfoBuffer info;
    GetPrinterInfo2(info, printer);
    UniqueGlobal held(info.buffer);
    bool taken = info.buffer && winspool.SetDefaultPrinterW(info.buffer->pPrinterName);
    Settle(applying, kDefault, taken, kernel.GetLastError());
}

}  // namespace

bool ApplyPrinterProperties(InstallRun& run, HANDLE printer, const wchar_t* name,
                            const CarriedProperties& saved, DWORD& owed) {
    Applying applying = {run, name, 0, 0};
    SetOwnerAndGroup(applying, printer, saved);
    SetAuditing(applying, saved);
    SetPrinterData(applying, printer, saved);
    SetRecord(applying, printer, saved);
    Publish(applying, printer, saved);
    SetDefault(applying, printer, saved);
    owed = applying.owed;
    kernel.SetLastError(applying.failure);
    return applying.failure == 0;
}
