#include "spooler/printer_record.h"

#include "core/kernel_api.h"
#include "core/advapi_api.h"

namespace {

constexpr DWORD kMagic = 0x504C525A;  // "ZRLP"
constexpr DWORD kFormat = 1;
constexpr DWORD kFirstCapacity = 1024;

struct FieldHeader {
    DWORD field;
    DWORD type;
    DWORD nameBytes;
    DWORD dataBytes;
};

constexpr DWORD kRecordHeaderBytes = 2 * sizeof(DWORD);

DWORD Aligned(DWORD bytes) {
    return (bytes + 7) & ~DWORD{7};
}

bool Grow(RecordWriter& record, DWORD more) {
    if (record.failed) {
        return false;
    }
    DWORD wanted = record.bytes + more;
    if (wanted < record.bytes) {
        record.failed = true;
        return false;
    }
    if (wanted <= record.capacity) {
        return true;
    }
    DWORD capacity = record.capacity ? record.capacity : kFirstCapacity;
    while (capacity < wanted) {
        capacity *= 2;
    }
    auto* block = static_cast<BYTE*>(AllocGlobal(capacity));
    if (!block) {
        record.failed = true;
        return false;
    }
    if (record.block) {
        CopyMemory(block, record.block, record.bytes);
        FreeGlobal(record.block);
    }
    record.block = block;
    record.capacity = capacity;
    return true;
}

// The block is zero-filled: padding needs no writing.
void PutField(RecordWriter& record, RecordField field, DWORD type, const void* name,
              DWORD nameBytes, const void* data, DWORD dataBytes) {
    DWORD size = sizeof(FieldHeader) + Aligned(nameBytes) + Aligned(dataBytes);
    if (!Grow(record, size)) {
        return;
    }
    FieldHeader header = {static_cast<DWORD>(field), type, nameBytes, dataBytes};
    BYTE* at = record.block + record.bytes;
    CopyMemory(at, &header, sizeof(header));
    if (nameBytes) {
        CopyMemory(at + sizeof(header), name, nameBytes);
    }
    if (dataBytes) {
        CopyMemory(at + sizeof(header) + Aligned(nameBytes), data, dataBytes);
    }
    record.bytes += size;
}

DWORD TextBytes(const wchar_t* text) {
    return (kernel.lstrlenW(text) + 1) * sizeof(wchar_t);
}

}  // namespace

const wchar_t* TextIn(const BYTE* data, DWORD bytes) {
    const auto* text = reinterpret_cast<const wchar_t*>(data);
    DWORD chars = bytes / sizeof(wchar_t);
    if (bytes % sizeof(wchar_t) || chars == 0 || text[chars - 1] != 0) {
        return nullptr;
    }
    return text;
}

namespace {

bool ReadSubKeyField(const wchar_t* text, CarriedProperties& properties) {
    return text && text[0] &&
           kernel.WideCharToMultiByte(CP_ACP, 0, text, -1, properties.subKey, kSubKeyBytes, nullptr,
                                      nullptr) > 0;
}

bool ReadNumber(const FieldHeader& header, const BYTE* data, DWORD& number) {
    if (header.dataBytes != sizeof(DWORD)) {
        return false;
    }
    CopyMemory(&number, data, sizeof(DWORD));
    return true;
}

// What the spooler gave: a DEVMODE whose own sizes fill the field.
bool ReadDevMode(const BYTE* data, DWORD bytes, CarriedProperties& properties) {
    const auto* devMode = reinterpret_cast<const DEVMODEW*>(data);
    if (bytes < offsetof(DEVMODEW, dmFields) + sizeof(DWORD) ||
        DWORD{devMode->dmSize} + devMode->dmDriverExtra != bytes) {
        return false;
    }
    properties.devMode = devMode;
    return true;
}

// A SID that ends within the descriptor's bytes.
bool SidWithin(const BYTE* data, DWORD bytes, DWORD at) {
    constexpr DWORD kSidHeaderBytes = 8;  // revision, count, authority
    if (at > bytes || bytes - at < kSidHeaderBytes) {
        return false;
    }
    DWORD count = data[at + 1];
    return count <= SID_MAX_SUB_AUTHORITIES &&
           bytes - at - kSidHeaderBytes >= count * sizeof(DWORD) &&
           advapi.IsValidSid(const_cast<BYTE*>(data + at));
}

// An access list whose declared size, and every entry in it, ends within
// the descriptor's bytes.
bool AclWithin(const BYTE* data, DWORD bytes, DWORD at) {
    if (at > bytes || bytes - at < sizeof(ACL)) {
        return false;
    }
    WORD aclBytes = 0;
    CopyMemory(&aclBytes, data + at + offsetof(ACL, AclSize), sizeof(aclBytes));
    return aclBytes >= sizeof(ACL) && aclBytes <= bytes - at &&
           advapi.IsValidAcl(reinterpret_cast<ACL*>(const_cast<BYTE*>(data + at)));
}

// What the spooler gave: a self-relative descriptor whose parts lie within
// the field. Its offsets are read from the journal, which anyone with the
// registry editor may have changed: neither Windows' nor Wine's validity
// check bounds them, and the length query follows them wherever they point.
bool ReadSecurity(const BYTE* data, DWORD bytes, CarriedProperties& properties) {
    SECURITY_DESCRIPTOR_RELATIVE header;
    if (bytes < sizeof(header)) {
        return false;
    }
    CopyMemory(&header, data, sizeof(header));
    if (header.Revision != SECURITY_DESCRIPTOR_REVISION || !(header.Control & SE_SELF_RELATIVE) ||
        (header.Owner && !SidWithin(data, bytes, header.Owner)) ||
        (header.Group && !SidWithin(data, bytes, header.Group)) ||
        ((header.Control & SE_DACL_PRESENT) && header.Dacl &&
         !AclWithin(data, bytes, header.Dacl)) ||
        ((header.Control & SE_SACL_PRESENT) && header.Sacl &&
         !AclWithin(data, bytes, header.Sacl))) {
        return false;
    }
    auto* security = reinterpret_cast<PSECURITY_DESCRIPTOR>(const_cast<BYTE*>(data));
    if (!advapi.IsValidSecurityDescriptor(security) ||
        advapi.GetSecurityDescriptorLength(security) > bytes) {
        return false;
    }
    properties.security = security;
    return true;
}

const wchar_t** TextSlot(RecordField field, CarriedProperties& properties) {
    switch (field) {
        case RecordField::Comment:
            return &properties.comment;
        case RecordField::Location:
            return &properties.location;
        case RecordField::ShareName:
            return &properties.shareName;
        case RecordField::SepFile:
            return &properties.sepFile;
        case RecordField::Datatype:
            return &properties.datatype;
        case RecordField::Parameters:
            return &properties.parameters;
        default:
            return nullptr;
    }
}

DWORD* NumberSlot(RecordField field, CarriedProperties& properties) {
    switch (field) {
        case RecordField::Attributes:
            return &properties.attributes;
        case RecordField::Priority:
            return &properties.priority;
        case RecordField::DefaultPriority:
            return &properties.defaultPriority;
        case RecordField::StartTime:
            return &properties.startTime;
        case RecordField::UntilTime:
            return &properties.untilTime;
        case RecordField::Owed:
            return &properties.owed;
        case RecordField::Tries:
            return &properties.tries;
        default:
            return nullptr;
    }
}

// The two names of a printer-data value, both ending within the name bytes.
bool SplitDataName(const BYTE* name, DWORD bytes, const wchar_t*& key, const wchar_t*& value) {
    key = TextIn(name, bytes);
    if (!key) {
        return false;
    }
    DWORD keyBytes = TextBytes(key);
    value = keyBytes < bytes ? TextIn(name + keyBytes, bytes - keyBytes) : nullptr;
    return value && key[0] && keyBytes + TextBytes(value) == bytes;
}

bool ReadField(const FieldHeader& header, const BYTE* name, const BYTE* data,
               CarriedProperties& properties) {
    auto field = static_cast<RecordField>(header.field);
    if (const wchar_t** slot = TextSlot(field, properties)) {
        *slot = TextIn(data, header.dataBytes);
        return *slot != nullptr;
    }
    if (DWORD* slot = NumberSlot(field, properties)) {
        return ReadNumber(header, data, *slot);
    }
    const wchar_t* key = nullptr;
    const wchar_t* value = nullptr;
    switch (field) {
        case RecordField::SubKey:
            return ReadSubKeyField(TextIn(data, header.dataBytes), properties);
        case RecordField::Default:
            return true;
        case RecordField::DevMode:
            return ReadDevMode(data, header.dataBytes, properties);
        case RecordField::Security:
            return ReadSecurity(data, header.dataBytes, properties);
        case RecordField::PrinterData:
            return SplitDataName(name, header.nameBytes, key, value);
        case RecordField::LeftAs:
            // Read field by field when it is used: NextField bounds each one.
            properties.leftAs = data;
            properties.leftAsBytes = header.dataBytes;
            return true;
        default:
            return true;
    }
}

// The field at `at`, or false when it does not fit in the block.
bool FieldAt(const BYTE* block, DWORD bytes, DWORD at, FieldHeader& header, const BYTE*& name,
             const BYTE*& data, DWORD& next) {
    if (bytes - at < sizeof(FieldHeader)) {
        return false;
    }
    CopyMemory(&header, block + at, sizeof(header));
    DWORD room = bytes - at - sizeof(FieldHeader);
    // Each size alone first: aligning a size near 4 GiB would wrap.
    if (header.nameBytes > room || header.dataBytes > room || Aligned(header.dataBytes) > room ||
        Aligned(header.nameBytes) > room - Aligned(header.dataBytes)) {
        return false;
    }
    name = block + at + sizeof(FieldHeader);
    data = name + Aligned(header.nameBytes);
    next = at + sizeof(FieldHeader) + Aligned(header.nameBytes) + Aligned(header.dataBytes);
    return next <= bytes;
}

// A block that starts as a record of this format.
bool IsRecord(const BYTE* block, DWORD bytes) {
    DWORD header[2] = {};
    if (!block || bytes < kRecordHeaderBytes) {
        return false;
    }
    CopyMemory(header, block, sizeof(header));
    return header[0] == kMagic && header[1] == kFormat;
}

}  // namespace

void BeginRecord(RecordWriter& record) {
    record = {};
    DWORD header[2] = {kMagic, kFormat};
    if (Grow(record, sizeof(header))) {
        CopyMemory(record.block, header, sizeof(header));
        record.bytes = sizeof(header);
    }
}

void PutText(RecordWriter& record, RecordField field, const wchar_t* text) {
    if (text) {
        PutField(record, field, REG_SZ, nullptr, 0, text, TextBytes(text));
    }
}

void PutNumber(RecordWriter& record, RecordField field, DWORD number) {
    PutField(record, field, REG_DWORD, nullptr, 0, &number, sizeof(number));
}

void PutFlag(RecordWriter& record, RecordField field) {
    PutField(record, field, REG_NONE, nullptr, 0, nullptr, 0);
}

void PutBytes(RecordWriter& record, RecordField field, const void* data, DWORD bytes) {
    PutField(record, field, REG_BINARY, nullptr, 0, data, bytes);
}

void PutDevMode(RecordWriter& record, const DEVMODEW* devMode) {
    DWORD bytes = DWORD{devMode->dmSize} + devMode->dmDriverExtra;
    PutBytes(record, RecordField::DevMode, devMode, bytes);
    if (record.failed) {
        return;
    }
    // The spooler writes the device name (the printer's) with whatever
    // followed it in its buffer; two reads of one DEVMODE must compare equal.
    auto* written = reinterpret_cast<DEVMODEW*>(record.block + record.bytes - Aligned(bytes));
    int chars = kernel.lstrlenW(written->dmDeviceName);
    for (int i = chars; i < CCHDEVICENAME; ++i) {
        written->dmDeviceName[i] = 0;
    }
}

void PutPrinterData(RecordWriter& record, const wchar_t* key, const wchar_t* value, DWORD type,
                    const BYTE* data, DWORD bytes) {
    DWORD keyBytes = TextBytes(key);
    DWORD nameBytes = keyBytes + TextBytes(value);
    if (record.failed) {
        return;
    }
    // The two names go through one temporary block: the field takes them as one.
    auto* name = static_cast<BYTE*>(AllocGlobal(nameBytes));
    if (!name) {
        record.failed = true;
        return;
    }
    CopyMemory(name, key, keyBytes);
    CopyMemory(name + keyBytes, value, nameBytes - keyBytes);
    PutField(record, RecordField::PrinterData, type, name, nameBytes, data, bytes);
    FreeGlobal(name);
}

bool EndRecord(RecordWriter& record, void*& block, DWORD& bytes) {
    if (record.failed || !record.block) {
        AbandonRecord(record);
        kernel.SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    block = record.block;
    bytes = record.bytes;
    record = {};
    return true;
}

void AbandonRecord(RecordWriter& record) {
    FreeGlobal(record.block);
    record = {};
}

bool ReadRecord(const void* block, DWORD bytes, CarriedProperties& properties) {
    properties = {};
    const auto* at = static_cast<const BYTE*>(block);
    if (!IsRecord(at, bytes)) {
        return false;
    }
    properties.block = at;
    properties.bytes = bytes;
    for (DWORD offset = kRecordHeaderBytes, next = 0; offset < bytes; offset = next) {
        FieldHeader field = {};
        const BYTE* name = nullptr;
        const BYTE* data = nullptr;
        if (!FieldAt(at, bytes, offset, field, name, data, next) ||
            !ReadField(field, name, data, properties)) {
            return false;
        }
        if (field.field < 32) {
            properties.present |= 1u << field.field;
        }
    }
    return Holds(properties, RecordField::SubKey);
}

bool NextField(const BYTE* block, DWORD bytes, DWORD& cursor, RecordFieldView& view) {
    if (!IsRecord(block, bytes)) {
        return false;
    }
    cursor = cursor < kRecordHeaderBytes ? kRecordHeaderBytes : cursor;
    FieldHeader field = {};
    DWORD next = 0;
    if (cursor >= bytes || !FieldAt(block, bytes, cursor, field, view.name, view.data, next)) {
        return false;
    }
    cursor = next;
    view.field = static_cast<RecordField>(field.field);
    view.type = field.type;
    view.nameBytes = field.nameBytes;
    view.dataBytes = field.dataBytes;
    return true;
}

bool SameField(const RecordFieldView& a, const RecordFieldView& b) {
    return a.field == b.field && a.type == b.type && a.nameBytes == b.nameBytes &&
           a.dataBytes == b.dataBytes && SameBytes(a.name, b.name, a.nameBytes) &&
           SameBytes(a.data, b.data, a.dataBytes);
}

bool FindField(const BYTE* block, DWORD bytes, const RecordFieldView& like,
               RecordFieldView& found) {
    for (DWORD cursor = 0; NextField(block, bytes, cursor, found);) {
        if (found.field == like.field && (like.field != RecordField::PrinterData ||
                                          (found.nameBytes == like.nameBytes &&
                                           SameBytes(found.name, like.name, like.nameBytes)))) {
            return true;
        }
    }
    return false;
}

void PutField(RecordWriter& record, const RecordFieldView& view) {
    PutField(record, view.field, view.type, view.name, view.nameBytes, view.data, view.dataBytes);
}

bool NextPrinterData(const CarriedProperties& properties, DWORD& cursor, PrinterDataValue& value) {
    RecordFieldView field = {};
    while (NextField(properties.block, properties.bytes, cursor, field)) {
        if (field.field == RecordField::PrinterData &&
            SplitDataName(field.name, field.nameBytes, value.key, value.name)) {
            value.type = field.type;
            value.data = field.data;
            value.bytes = field.dataBytes;
            return true;
        }
    }
    return false;
}
