#include "files/pending_renames.h"

#include "core/handles.h"
#include "core/kernel_api.h"

namespace {

constexpr char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingValue[] = L"PendingFileRenameOperations";

// The data of the value as read, `chars` whole characters of it.
struct PendingData {
    const wchar_t* text;
    SIZE_T chars;
    // The strings end before the last character, the terminator of the list.
    SIZE_T limit;
};

// Reads the whole value into a zero-filled global block; null when the value
// is absent, empty or cannot be read.
void* ReadPendingValue(DWORD& bytes) {
    HKEY key = nullptr;
    if (kernel.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return nullptr;
    }
    UniqueKey guard(key);
    DWORD size = 0;
    if (kernel.RegQueryValueExW(key, kPendingValue, nullptr, nullptr, nullptr, &size) !=
            ERROR_SUCCESS ||
        size == 0) {
        return nullptr;
    }
    UniqueGlobal buffer(AllocGlobal(size));
    if (!buffer) {
        return nullptr;
    }
    bytes = size;
    if (kernel.RegQueryValueExW(key, kPendingValue, nullptr, nullptr,
                                static_cast<BYTE*>(buffer.Get()), &bytes) != ERROR_SUCCESS) {
        return nullptr;
    }
    // The value may have shrunk in between; it cannot have grown, or the read
    // would have failed.
    if (bytes > size) {
        bytes = size;
    }
    return buffer.Release();
}

// A last string without its terminator ends at the end of the data.
SIZE_T MeasureString(const PendingData& data, SIZE_T start) {
    SIZE_T end = start;
    while (end < data.chars && data.text[end]) {
        ++end;
    }
    return end - start;
}

INT32 CountPairs(const PendingData& data) {
    SIZE_T strings = 0;
    for (SIZE_T consumed = 0; consumed < data.limit; ++strings) {
        consumed += MeasureString(data, consumed) + 1;
    }
    // A last string without a partner is ignored.
    return static_cast<INT32>(strings / 2);
}

const wchar_t* SkipObjectManagerPrefix(const wchar_t* path) {
    bool prefixed = path[0] == L'\\' && path[1] == L'?' && path[2] == L'?' && path[3] == L'\\';
    return prefixed ? path + 4 : path;
}

bool IsExistingFile(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(SkipObjectManagerPrefix(path));
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

// Fills the entries from the data; false when a copy cannot be allocated.
bool FillTable(PendingRenameTable& table, const PendingData& data) {
    SIZE_T consumed = 0;
    for (INT32 i = 0; consumed < data.limit && i < 2 * table.count; ++i) {
        SIZE_T length = MeasureString(data, consumed);
        if (length != 0) {
            // The copy is tested, not the data: only the copy is sure to end
            // in a terminator.
            table.names[i] = CopyString(data.text + consumed, length);
            if (!table.names[i]) {
                return false;
            }
            table.flags[i] = IsExistingFile(table.names[i]) ? 1 : 0;
        }
        consumed += length + 1;
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

}  // namespace

PendingRenameTable ReadPendingRenames() {
    DWORD bytes = 0;
    UniqueGlobal buffer(ReadPendingValue(bytes));
    if (!buffer || bytes <= sizeof(wchar_t)) {
        return PendingRenameTable{};
    }
    PendingData data = {static_cast<const wchar_t*>(buffer.Get()), bytes / sizeof(wchar_t),
                        (bytes - sizeof(wchar_t)) / sizeof(wchar_t)};
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
