#include "files/pending_renames.h"

#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"

namespace {

constexpr wchar_t kPendingValue[] = L"PendingFileRenameOperations";
// Windows writes the paths of the value in the object manager's form, "\??\C:\...".
constexpr SIZE_T kPrefixChars = 4;

// The data of the value as read, `chars` whole characters of it.
struct PendingData {
    const wchar_t* text;
    SIZE_T chars;
    // The strings end before the last character, the terminator of the list.
    SIZE_T limit;
};

// One string of the data: its first character and its length.
struct PendingString {
    SIZE_T start;
    SIZE_T length;
};

// The value as read, in a zero-filled global block.
struct PendingValue {
    UniqueGlobal buffer;
    DWORD bytes;
    DWORD type;
};

HKEY OpenSessionManager(REGSAM access) {
    HKEY key = nullptr;
    if (advapi.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, access, &key) !=
        ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

// Reads the whole value; false, with no buffer, when the value is absent,
// holds no more than the list terminator or cannot be read.
bool ReadPendingValue(HKEY key, PendingValue& value) {
    DWORD size = 0;
    // Two bytes are no more than the list terminator. Nor are they read: for
    // a string value, RegQueryValueExW may add a terminator after the data
    // when the buffer has room for it, and Wine computes that room as
    // size - 2 without a check, writing past a buffer of one byte.
    if (advapi.RegQueryValueExW(key, kPendingValue, nullptr, nullptr, nullptr, &size) !=
            ERROR_SUCCESS ||
        size <= sizeof(wchar_t)) {
        return false;
    }
    UniqueGlobal buffer(AllocGlobal(size));
    if (!buffer) {
        return false;
    }
    DWORD bytes = size;
    if (advapi.RegQueryValueExW(key, kPendingValue, nullptr, &value.type,
                                static_cast<BYTE*>(buffer.Get()), &bytes) != ERROR_SUCCESS) {
        return false;
    }
    // The value may have shrunk in between; it cannot have grown, or the read
    // would have failed.
    value.bytes = bytes < size ? bytes : size;
    value.buffer.Reset(buffer.Release());
    return true;
}

// False when the value holds no more than the terminator of the list.
bool ViewPendingData(const PendingValue& value, PendingData& data) {
    if (!value.buffer || value.bytes <= sizeof(wchar_t)) {
        return false;
    }
    data = {static_cast<const wchar_t*>(value.buffer.Get()), value.bytes / sizeof(wchar_t),
            (value.bytes - sizeof(wchar_t)) / sizeof(wchar_t)};
    return true;
}

// A last string without its terminator ends at the end of the data.
SIZE_T MeasureString(const PendingData& data, SIZE_T start) {
    SIZE_T end = start;
    while (end < data.chars && data.text[end]) {
        ++end;
    }
    return end - start;
}

// Steps `consumed` over the next string; false at the end of the list.
bool NextString(const PendingData& data, SIZE_T& consumed, PendingString& string) {
    if (consumed >= data.limit) {
        return false;
    }
    string = {consumed, MeasureString(data, consumed)};
    consumed += string.length + 1;
    return true;
}

// A last string without a partner is no pair.
bool NextPair(const PendingData& data, SIZE_T& consumed, PendingString& source,
              PendingString& target) {
    return NextString(data, consumed, source) && NextString(data, consumed, target);
}

INT32 CountPairs(const PendingData& data) {
    INT32 pairs = 0;
    SIZE_T consumed = 0;
    PendingString source;
    PendingString target;
    while (NextPair(data, consumed, source, target)) {
        ++pairs;
    }
    return pairs;
}

bool HasObjectManagerPrefix(const wchar_t* text, SIZE_T length) {
    return length >= kPrefixChars && text[0] == L'\\' && text[1] == L'?' && text[2] == L'?' &&
           text[3] == L'\\';
}

const wchar_t* SkipObjectManagerPrefix(const wchar_t* path) {
    return HasObjectManagerPrefix(path, kernel.lstrlenW(path)) ? path + kPrefixChars : path;
}

bool IsExistingFile(const wchar_t* path) {
    DWORD attributes = kernel.GetFileAttributesW(SkipObjectManagerPrefix(path));
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

wchar_t* CopyString(const wchar_t* text, SIZE_T length) {
    wchar_t* copy = static_cast<wchar_t*>(AllocGlobal((length + 1) * sizeof(wchar_t)));
    if (copy) {
        CopyMemory(copy, text, length * sizeof(wchar_t));
    }
    return copy;
}

bool AllocateTable(PendingRenameTable& table, INT32 count) {
    SIZE_T entries = 2 * static_cast<SIZE_T>(count);
    table.count = count;
    table.names = static_cast<wchar_t**>(AllocGlobal(entries * sizeof(wchar_t*)));
    table.flags = static_cast<INT32*>(AllocGlobal(entries * sizeof(INT32)));
    return table.names && table.flags;
}

// Entry `i` from one string of the data; false when the copy cannot be
// allocated. An empty string stays none with flag 0.
bool FillEntry(PendingRenameTable& table, INT32 i, const PendingData& data,
               const PendingString& string) {
    if (string.length == 0) {
        return true;
    }
    // The copy is tested, not the data: only the copy is sure to end in a
    // terminator.
    table.names[i] = CopyString(data.text + string.start, string.length);
    if (!table.names[i]) {
        return false;
    }
    table.flags[i] = IsExistingFile(table.names[i]) ? 1 : 0;
    return true;
}

// Fills the entries from the data; false when a copy cannot be allocated.
bool FillTable(PendingRenameTable& table, const PendingData& data) {
    SIZE_T consumed = 0;
    PendingString source;
    PendingString target;
    for (INT32 k = 0; k < table.count && NextPair(data, consumed, source, target); ++k) {
        if (!FillEntry(table, 2 * k, data, source) || !FillEntry(table, 2 * k + 1, data, target)) {
            return false;
        }
    }
    return true;
}

PendingRenameTable ParsePendingData(const PendingData& data) {
    PendingRenameTable table = {};
    INT32 count = CountPairs(data);
    if (count == 0) {
        return table;
    }
    if (!AllocateTable(table, count) || !FillTable(table, data)) {
        ReleasePendingRenames(table);
    }
    return table;
}

// A pending deletion (empty target) of `path`, written with or without the
// prefix. File names compare as NTFS compares them: ordinal, ignoring case.
bool IsDeletionOf(const PendingData& data, const PendingString& source, const PendingString& target,
                  const wchar_t* path, int pathLength) {
    if (source.length == 0 || target.length != 0) {
        return false;
    }
    const wchar_t* text = data.text + source.start;
    SIZE_T length = source.length;
    if (HasObjectManagerPrefix(text, length)) {
        text += kPrefixChars;
        length -= kPrefixChars;
    }
    return kernel.CompareStringOrdinal(text, static_cast<int>(length), path, pathLength, TRUE) ==
           CSTR_EQUAL;
}

// Cuts the deletions of `path` out of the block, in place, and returns the
// number of bytes left: the other pairs and whatever follows the list (the
// terminator, a stray string, an odd byte) move up unchanged. Bytes only ever
// move toward the start and land before the pair being cut, so the walk
// ahead still reads the data as it was read.
DWORD CutDeletionsOf(const PendingValue& value, const PendingData& data, const wchar_t* path) {
    BYTE* bytes = static_cast<BYTE*>(value.buffer.Get());
    int pathLength = kernel.lstrlenW(path);
    SIZE_T kept = 0;
    SIZE_T copied = 0;
    SIZE_T consumed = 0;
    PendingString source;
    PendingString target;
    while (NextPair(data, consumed, source, target)) {
        if (!IsDeletionOf(data, source, target, path, pathLength)) {
            continue;
        }
        SIZE_T cutFrom = source.start * sizeof(wchar_t);
        MoveMemory(bytes + kept, bytes + copied, cutFrom - copied);
        kept += cutFrom - copied;
        copied = consumed * sizeof(wchar_t);
    }
    MoveMemory(bytes + kept, bytes + copied, value.bytes - copied);
    return static_cast<DWORD>(kept + value.bytes - copied);
}

// Only zeros left: the list terminator, no operation.
bool HoldsNothing(const BYTE* bytes, DWORD count) {
    for (DWORD i = 0; i < count; ++i) {
        if (bytes[i]) {
            return false;
        }
    }
    return true;
}

// RegSetValueExW adds a terminator to string data that ends without one when
// the character after the data is zero, and the cut leaves a zero there as
// often as not. Two bytes that are not zero keep the value at its length;
// they lie inside the block, which is at least one cut pair (six bytes)
// longer than what is left.
void FenceLeftData(const PendingValue& value, DWORD bytes) {
    BYTE* data = static_cast<BYTE*>(value.buffer.Get());
    data[bytes] = 0xFF;
    data[bytes + 1] = 0xFF;
}

bool WritePendingValue(HKEY key, const PendingValue& value, DWORD bytes) {
    const BYTE* data = static_cast<const BYTE*>(value.buffer.Get());
    if (HoldsNothing(data, bytes)) {
        return advapi.RegDeleteValueW(key, kPendingValue) == ERROR_SUCCESS;
    }
    FenceLeftData(value, bytes);
    return advapi.RegSetValueExW(key, kPendingValue, 0, value.type, data, bytes) == ERROR_SUCCESS;
}

}  // namespace

PendingRenameTable ReadPendingRenames() {
    UniqueKey key(OpenSessionManager(KEY_READ));
    PendingValue value = {};
    PendingData data = {};
    if (!key || !ReadPendingValue(key.Get(), value) || !ViewPendingData(value, data)) {
        return PendingRenameTable{};
    }
    return ParsePendingData(data);
}

void FlushPendingDeletes(PendingRenameTable& table) {
    for (INT32 k = 0; k < table.count; ++k) {
        const wchar_t* source = table.names[2 * k];
        bool deletion = table.names[2 * k + 1] == nullptr;
        if (table.flags[2 * k] != 1 || !source || !deletion) {
            continue;
        }
        if (kernel.DeleteFileW(SkipObjectManagerPrefix(source))) {
            table.flags[2 * k] = 0;
        }
    }
}

void ReleasePendingRenames(PendingRenameTable& table) {
    if (table.names) {
        for (INT32 i = 0; i < 2 * table.count; ++i) {
            FreeGlobal(table.names[i]);
        }
    }
    FreeGlobal(table.names);
    FreeGlobal(table.flags);
    table = PendingRenameTable{};
}

bool ForgetPendingDelete(const wchar_t* path) {
    if (!path || !path[0]) {
        return false;
    }
    UniqueKey key(OpenSessionManager(KEY_QUERY_VALUE | KEY_SET_VALUE));
    PendingValue value = {};
    PendingData data = {};
    if (!key || !ReadPendingValue(key.Get(), value) || !ViewPendingData(value, data)) {
        return false;
    }
    DWORD left = CutDeletionsOf(value, data, path);
    if (left == value.bytes) {
        return false;
    }
    return WritePendingValue(key.Get(), value, left);
}
