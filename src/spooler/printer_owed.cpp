#include "spooler/printer_owed.h"

#include "core/product.h"
#include "core/run_log.h"
#include "spooler/enumerations.h"
#include "spooler/printer_journal.h"
#include "spooler/printer_properties.h"
#include "spooler/printer_settings.h"
#include "spooler/winspool_api.h"
#include "core/advapi_api.h"
#include "core/kernel_api.h"
#include "core/user_api.h"
#include "core/handles.h"

namespace {

constexpr DWORD kOwedMaskFields = FieldBit(RecordField::Owed) - 1;

// The properties as the log names them, by field.
constexpr const wchar_t* kPropertyNames[] = {
    L"settings",       L"SubKey",       L"comment",
    L"location",       L"default mark", L"share name",
    L"separator page", L"datatype",     L"print processor parameters",
    L"attributes",     L"priority",     L"default priority",
    L"start time",     L"until time",   L"print defaults",
    L"permissions",    L"printer data"};

const wchar_t* PropertyName(RecordField field) {
    auto index = static_cast<DWORD>(field);
    return index < sizeof(kPropertyNames) / sizeof(kPropertyNames[0]) ? kPropertyNames[index]
                                                                      : kPropertyNames[0];
}

void PutCarriedText(RecordWriter& record, DWORD mask, RecordField field, const wchar_t* text) {
    if (mask & FieldBit(field)) {
        PutText(record, field, text);
    }
}

void PutCarriedNumber(RecordWriter& record, const CarriedProperties& from, DWORD mask,
                      RecordField field, DWORD number) {
    if ((mask & FieldBit(field)) && Holds(from, field)) {
        PutNumber(record, field, number);
    }
}

// The properties of `from` that `mask` names, as a record's fields.
void PutCarried(RecordWriter& record, const CarriedProperties& from, DWORD mask) {
    wchar_t subKey[kSubKeyBytes] = {};
    if ((mask & FieldBit(RecordField::SubKey)) && from.subKey[0] &&
        kernel.MultiByteToWideChar(CP_ACP, 0, from.subKey, -1, subKey, kSubKeyBytes)) {
        PutText(record, RecordField::SubKey, subKey);
    }
    PutCarriedText(record, mask, RecordField::Comment, from.comment);
    PutCarriedText(record, mask, RecordField::Location, from.location);
    if ((mask & FieldBit(RecordField::Default)) && Holds(from, RecordField::Default)) {
        PutFlag(record, RecordField::Default);
    }
    PutCarriedText(record, mask, RecordField::ShareName, from.shareName);
    PutCarriedText(record, mask, RecordField::SepFile, from.sepFile);
    PutCarriedText(record, mask, RecordField::Datatype, from.datatype);
    PutCarriedText(record, mask, RecordField::Parameters, from.parameters);
    PutCarriedNumber(record, from, mask, RecordField::Attributes, from.attributes);
    PutCarriedNumber(record, from, mask, RecordField::Priority, from.priority);
    PutCarriedNumber(record, from, mask, RecordField::DefaultPriority, from.defaultPriority);
    PutCarriedNumber(record, from, mask, RecordField::StartTime, from.startTime);
    PutCarriedNumber(record, from, mask, RecordField::UntilTime, from.untilTime);
    if ((mask & FieldBit(RecordField::DevMode)) && from.devMode) {
        PutDevMode(record, from.devMode);
    }
    if ((mask & FieldBit(RecordField::Security)) && from.security) {
        PutBytes(record, RecordField::Security, from.security,
                 advapi.GetSecurityDescriptorLength(from.security));
    }
    PrinterDataValue value = {};
    for (DWORD cursor = 0;
         (mask & FieldBit(RecordField::PrinterData)) && NextPrinterData(from, cursor, value);) {
        PutPrinterData(record, value.key, value.name, value.type, value.data, value.bytes);
    }
}

// What the printer was left with, filtered to what it owes.
// The default printer's name, "" when there is none; false when it cannot be
// told.
bool DefaultPrinterNow(wchar_t (&name)[kJournalNameChars]) {
    DWORD chars = kJournalNameChars;
    name[0] = 0;
    return winspool.GetDefaultPrinterW(name, &chars) ||
           kernel.GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool LeftAs(InstallRun& run, HANDLE printer, const wchar_t* name, DWORD owed, RecordWriter& left) {
    char subKey[kSubKeyBytes] = {};
    ReadSubKey(printer, subKey);
    PrinterInfoBuffer info;
    GetPrinterInfo2(info, printer);
    UniqueGlobal held(info.buffer);
    if (!info.buffer) {
        return false;
    }
    wchar_t defaultName[kJournalNameChars];
    bool knowsDefault = DefaultPrinterNow(defaultName);
    PRINTER_INFO_2W entry = *info.buffer;
    if (knowsDefault && kernel.lstrcmpW(defaultName, name) == 0) {
        entry.Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
    }
    void* block = nullptr;
    DWORD bytes = 0;
    if (!RecordPrinterAsItIs(run, printer, subKey, entry, block, bytes)) {
        return false;
    }
    UniqueGlobal whole(block);
    CarriedProperties properties;
    // It may hold no SubKey (the one the printer owes), which a journal
    // entry must: every field is read all the same.
    ReadRecord(block, bytes, properties);
    BeginRecord(left);
    PutCarried(left, properties, owed & ~FieldBit(RecordField::Default));
    // An owed default mark is left as the name of the printer that had the
    // mark then ("" for none): the spooler gives it to another printer of its
    // choosing when the default printer is deleted, and only someone who
    // chose another one since may keep it from coming back.
    if ((owed & FieldBit(RecordField::Default)) && knowsDefault) {
        PutText(left, RecordField::Default, defaultName);
    }
    return !left.failed;
}

// The printer has not been changed since the run that owed it left it: its
// value now is the one it was left with (both absent counts).
bool Unchanged(const CarriedProperties& owed, const BYTE* now, DWORD nowBytes,
               const RecordFieldView& wanted) {
    RecordFieldView left = {};
    RecordFieldView current = {};
    bool hadLeft = FindField(owed.leftAs, owed.leftAsBytes, wanted, left);
    bool hasNow = FindField(now, nowBytes, wanted, current);
    // An owed default mark: the printer has it now only where nobody gave
    // the mark to another printer since (ClaimOwedDefault).
    if (wanted.field == RecordField::Default) {
        return hasNow;
    }
    return hadLeft == hasNow && (!hadLeft || SameField(left, current));
}

// Whether `owed` is owed the default mark that the printer named `now` (""
// for none) has had since the install that owed it.
bool OwedDefaultStillWith(const CarriedProperties& owed, const wchar_t* now) {
    RecordFieldView wanted = {};
    wanted.field = RecordField::Default;
    RecordFieldView left = {};
    const wchar_t* then = nullptr;
    if ((owed.owed & FieldBit(RecordField::Default)) &&
        FindField(owed.leftAs, owed.leftAsBytes, wanted, left)) {
        then = TextIn(left.data, left.dataBytes);
    }
    return then && (then[0] ? SameSpoolerName(then, now) : now[0] == 0);
}

bool IsOwed(const CarriedProperties& owed, const RecordFieldView& field) {
    return field.field < RecordField::Owed && (owed.owed & FieldBit(field.field));
}

// The value's name as the log shows it, " 'key\name'", or nothing.
void DetailOf(const RecordFieldView& field, wchar_t (&detail)[kLogLineChars]) {
    detail[0] = 0;
    if (field.field == RecordField::PrinterData) {
        const auto* key = reinterpret_cast<const wchar_t*>(field.name);
        user.wsprintfW(detail, L" '%s\\%s'", key, key + kernel.lstrlenW(key) + 1);
    }
}

void PutStillOwed(InstallRun& run, const wchar_t* name, const CarriedProperties& owed,
                  const BYTE* now, DWORD nowBytes, RecordWriter& merged) {
    RecordFieldView wanted = {};
    for (DWORD cursor = 0; NextField(owed.block, owed.bytes, cursor, wanted);) {
        if (!IsOwed(owed, wanted)) {
            continue;
        }
        if (Unchanged(owed, now, nowBytes, wanted)) {
            PutField(merged, wanted);
            continue;
        }
        wchar_t detail[kLogLineChars];
        DetailOf(wanted, detail);
        LogLine(run,
                "Printer '%s' was changed since an earlier install owed it its %s%s: it keeps it "
                "as it is now",
                ShownName(name, kUnnamedPrinter), PropertyName(wanted.field), detail);
    }
}

}  // namespace

bool RecordPrinterAsItIs(InstallRun& run, HANDLE printer, const char* subKey,
                         const PRINTER_INFO_2W& entry, void*& block, DWORD& bytes) {
    wchar_t wideSubKey[kSubKeyBytes] = {};
    if (subKey[0] && !kernel.MultiByteToWideChar(CP_ACP, 0, subKey, -1, wideSubKey, kSubKeyBytes)) {
        return false;
    }
    RecordWriter record;
    BeginRecord(record);
    if (wideSubKey[0]) {
        PutText(record, RecordField::SubKey, wideSubKey);
    }
    if (!ReadPrinterProperties(run, printer, entry, record)) {
        DWORD code = kernel.GetLastError();
        AbandonRecord(record);
        kernel.SetLastError(code);
        return false;
    }
    return EndRecord(record, block, bytes);
}

bool OweProperties(InstallRun& run, HANDLE printer, const wchar_t* name,
                   const CarriedProperties& saved, DWORD owed) {
    DWORD tries = saved.tries + 1;
    if (tries >= kMaxOwedTries) {
        LogLine(run, "Printer '%s' did not take what it was owed in %d installs: it is let go",
                ShownName(name, kUnnamedPrinter), static_cast<int>(tries));
        return true;
    }
    RecordWriter left = {};
    if (!LeftAs(run, printer, name, owed, left)) {
        DWORD code = kernel.GetLastError();
        AbandonRecord(left);
        kernel.SetLastError(code);
        return false;
    }
    RecordWriter entry;
    BeginRecord(entry);
    PutCarried(entry, saved, owed | FieldBit(RecordField::SubKey));
    PutNumber(entry, RecordField::Owed, owed & kOwedMaskFields);
    PutNumber(entry, RecordField::Tries, tries);
    PutBytes(entry, RecordField::LeftAs, left.block, left.bytes);
    AbandonRecord(left);
    void* block = nullptr;
    DWORD bytes = 0;
    if (!EndRecord(entry, block, bytes)) {
        return false;
    }
    UniqueGlobal held(block);
    return WriteOwedEntry(name, block, bytes);
}

bool MergeOwed(InstallRun& run, const wchar_t* name, void*& block, DWORD& bytes) {
    JournalEntry entry;
    JournalRead read = ReadOwedEntry(name, entry);
    // A damaged entry owes nothing anyone can give; it goes with the printer.
    if (read != JournalRead::Entry) {
        return read != JournalRead::Failed;
    }
    const CarriedProperties& owed = entry.properties;
    const auto* now = static_cast<const BYTE*>(block);
    RecordWriter merged;
    BeginRecord(merged);
    RecordFieldView field = {};
    RecordFieldView wanted = {};
    // The printer as it is, but where it still owes a value.
    for (DWORD cursor = 0; NextField(now, bytes, cursor, field);) {
        bool override = FindField(owed.block, owed.bytes, field, wanted) && IsOwed(owed, wanted) &&
                        Unchanged(owed, now, bytes, wanted);
        if (!override) {
            PutField(merged, field);
        }
    }
    PutStillOwed(run, name, owed, now, bytes, merged);
    PutNumber(merged, RecordField::Tries, owed.tries);
    void* mergedBlock = nullptr;
    DWORD mergedBytes = 0;
    if (!EndRecord(merged, mergedBlock, mergedBytes)) {
        return false;
    }
    FreeGlobal(block);
    block = mergedBlock;
    bytes = mergedBytes;
    return true;
}

void ClaimOwedDefault(InstallRun& run) {
    wchar_t now[kJournalNameChars];
    if (!DefaultPrinterNow(now)) {
        return;
    }
    for (UINT32 i = 0; i < run.printerCount; ++i) {
        PRINTER_INFO_2W& entry = run.printers[i];
        JournalEntry owed;
        if (!IsProductDriver(entry.pDriverName) || !entry.pPrinterName ||
            ReadOwedEntry(entry.pPrinterName, owed) != JournalRead::Entry ||
            !OwedDefaultStillWith(owed.properties, now)) {
            continue;
        }
        for (UINT32 other = 0; other < run.printerCount; ++other) {
            run.printers[other].Attributes &= ~PRINTER_ATTRIBUTE_DEFAULT;
        }
        entry.Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
        LogLine(run, "Printer '%s' gets back the default mark an earlier install owed it",
                ShownName(entry.pPrinterName, kUnnamedPrinter));
        return;
    }
}

bool OwesSubKey(const wchar_t* name, bool& owes) {
    JournalEntry entry;
    JournalRead read = ReadOwedEntry(name, entry);
    owes = read == JournalRead::Entry && (entry.properties.owed & FieldBit(RecordField::SubKey));
    return read != JournalRead::Failed;
}

void SubKeyOfRecord(const void* block, DWORD bytes, char (&subKey)[kSubKeyBytes]) {
    CarriedProperties properties;
    ReadRecord(block, bytes, properties);
    kernel.lstrcpynA(subKey, properties.subKey, kSubKeyBytes);
}

void ForgetOwedOfGonePrinters() {
    JournalNames names = {};
    if (!ReadOwedNames(names)) {
        return;
    }
    const auto* name = static_cast<const wchar_t*>(names.block.Get());
    for (DWORD i = 0; i < names.count; ++i, name += kernel.lstrlenW(name) + 1) {
        UniquePrinter printer;
        if (!OpenPrinterInto(name, nullptr, printer) &&
            kernel.GetLastError() == ERROR_INVALID_PRINTER_NAME) {
            ForgetOwedEntry(name);
        }
    }
}
