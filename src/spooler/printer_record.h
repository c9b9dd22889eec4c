// Everything a reinstall carries of one product printer, as one block: what
// re-creating it needs besides its name, port, driver and print processor.
// The journal stores the block as it is (REG_BINARY), and a restore reads the
// printer back from it, whether it was taken in this run or left by an
// earlier one.
//
// The block, little-endian, every part starting on an 8-byte boundary:
//   DWORD magic "ZRLP" (0x504C525A), DWORD format (1)
//   fields, each: DWORD field, DWORD registry type, DWORD name bytes,
//                 DWORD data bytes, the name (UTF-16), the data
// Texts are REG_SZ with their terminator; numbers REG_DWORD; the DEVMODE and
// the self-relative security descriptor REG_BINARY as the spooler gave them;
// a printer-data value has its key and value name as its name (two strings)
// and its own type and data. A field of a number this build does not know is
// passed over: a later build may add some.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "spooler/printer_settings.h"

enum class RecordField : DWORD {
    SubKey = 1,
    Comment,
    Location,
    Default,  // no data: the printer was the default printer
    ShareName,
    SepFile,
    Datatype,
    Parameters,
    Attributes,
    Priority,
    DefaultPriority,
    StartTime,
    UntilTime,
    DevMode,
    Security,
    PrinterData,
    // Only in an entry of what a printer still owes (spooler/printer_owed.h):
    // the mask (1 << field) of the owed properties, the printer's own values
    // of them as the run that owed them left it (a record of its own), and
    // how many installs have tried them.
    Owed,
    LeftAs,
    Tries,
};

inline constexpr DWORD FieldBit(RecordField field) {
    return 1u << static_cast<DWORD>(field);
}

// A record being written, in a block of the fixed global heap that grows.
// Once a put has failed (no memory), the record is incomplete and every
// later put is ignored.
struct RecordWriter {
    BYTE* block;
    DWORD bytes;
    DWORD capacity;
    bool failed;
};

void BeginRecord(RecordWriter& record);
// Nothing is written for a missing text.
void PutText(RecordWriter& record, RecordField field, const wchar_t* text);
void PutNumber(RecordWriter& record, RecordField field, DWORD number);
void PutFlag(RecordWriter& record, RecordField field);
void PutBytes(RecordWriter& record, RecordField field, const void* data, DWORD bytes);
// The DEVMODE with its own sizes, the unused end of its device name zeroed.
void PutDevMode(RecordWriter& record, const DEVMODEW* devMode);
void PutPrinterData(RecordWriter& record, const wchar_t* key, const wchar_t* value, DWORD type,
                    const BYTE* data, DWORD bytes);
// The finished block, which the caller then owns, or false (and the block
// freed) when a put failed: the last error is ERROR_NOT_ENOUGH_MEMORY.
bool EndRecord(RecordWriter& record, void*& block, DWORD& bytes);
void AbandonRecord(RecordWriter& record);

// A record as read back: pointers into the block it was read from. `present`
// has the bit (1 << field) of every field the record holds; a text it does
// not hold is null, a number 0.
struct CarriedProperties {
    DWORD present;
    char subKey[kSubKeyBytes];
    const wchar_t* comment;
    const wchar_t* location;
    const wchar_t* shareName;
    const wchar_t* sepFile;
    const wchar_t* datatype;
    const wchar_t* parameters;
    DWORD attributes;
    DWORD priority;
    DWORD defaultPriority;
    DWORD startTime;
    DWORD untilTime;
    const DEVMODEW* devMode;
    PSECURITY_DESCRIPTOR security;
    DWORD owed;
    DWORD tries;
    const BYTE* leftAs;
    DWORD leftAsBytes;
    // The whole block, for the printer-data values.
    const BYTE* block;
    DWORD bytes;
};

// The C runtime's memcmp is not linked into the executable.
inline bool SameBytes(const void* a, const void* b, DWORD bytes) {
    for (DWORD i = 0; i < bytes; ++i) {
        if (static_cast<const BYTE*>(a)[i] != static_cast<const BYTE*>(b)[i]) {
            return false;
        }
    }
    return true;
}

inline bool Holds(const CarriedProperties& properties, RecordField field) {
    return (properties.present & FieldBit(field)) != 0;
}

// False when the block is not a record of this format, or one of its fields
// is damaged (a value written by hand, a cut copy).
bool ReadRecord(const void* block, DWORD bytes, CarriedProperties& properties);

struct PrinterDataValue {
    const wchar_t* key;
    const wchar_t* name;
    DWORD type;
    const BYTE* data;
    DWORD bytes;
};
// One field as it lies in a record.
struct RecordFieldView {
    RecordField field;
    DWORD type;
    const BYTE* name;
    DWORD nameBytes;
    const BYTE* data;
    DWORD dataBytes;
};
// Steps through the fields of a record (`cursor` starts at 0); false after
// the last one, and at a field that does not fit in the block.
bool NextField(const BYTE* block, DWORD bytes, DWORD& cursor, RecordFieldView& view);
// The first field of `block` that stands for the same property as `like`
// (for printer data: the same key and value name); false when there is none.
bool FindField(const BYTE* block, DWORD bytes, const RecordFieldView& like, RecordFieldView& found);
// A field's text, when it ends within its bytes with its terminator; null
// otherwise.
const wchar_t* TextIn(const BYTE* data, DWORD bytes);
bool SameField(const RecordFieldView& a, const RecordFieldView& b);
void PutField(RecordWriter& record, const RecordFieldView& view);

// Steps through the printer-data values of a record that ReadRecord accepted;
// `cursor` starts at 0. False after the last one.
bool NextPrinterData(const CarriedProperties& properties, DWORD& cursor, PrinterDataValue& value);
