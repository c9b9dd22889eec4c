#include "spooler/printer_journal.h"

#include "core/counted_string.h"
#include "core/product.h"
#include "core/run_log.h"
#include "core/advapi_api.h"
#include "core/kernel_api.h"
#include "core/user_api.h"
#include "core/handles.h"

namespace {

// A name of the set-aside key that is taken gets " (2)", " (3)", ... up to this.
constexpr int kMaxSetAsideCopies = 99;

// The fields of the earlier builds' entries.
constexpr wchar_t kSubKeyField[] = L"SubKey=";
constexpr wchar_t kCommentField[] = L"Comment=";
constexpr wchar_t kLocationField[] = L"Location=";
constexpr wchar_t kDefaultField[] = L"Default=1";

bool WriteEntryIn(const wchar_t* path, const wchar_t* name, const void* record, DWORD bytes);
void ForgetEntryIn(const wchar_t* path, const wchar_t* name);
bool ReadNamesIn(const wchar_t* path, JournalNames& names);

// Registry calls answer with a status, not the last error: callers log that.
bool Succeeded(LSTATUS status) {
    kernel.SetLastError(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}

LSTATUS OpenKey(const wchar_t* path, REGSAM access, UniqueKey& key) {
    return advapi.RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access, key.Put());
}

// Writes the whole hive that holds `path` to disk.
bool FlushHive(const wchar_t* path) {
    UniqueKey key;
    LSTATUS status = OpenKey(path, KEY_QUERY_VALUE, key);
    if (status == ERROR_SUCCESS) {
        status = advapi.RegFlushKey(key.Get());
    }
    return Succeeded(status);
}

LSTATUS CreateKey(const wchar_t* path, UniqueKey& key) {
    return advapi.RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, key.Put(), nullptr);
}

void Present(CarriedProperties& properties, RecordField field) {
    properties.present |= 1u << static_cast<DWORD>(field);
}

// An earlier build's entry: its strings, up to the empty one that ends them.
// Strings of other names are passed over.
bool ReadEarlierEntry(const wchar_t* text, CarriedProperties& properties) {
    for (; *text; text += kernel.lstrlenW(text) + 1) {
        if (const wchar_t* subKey = AfterPrefix(text, kSubKeyField)) {
            if (*subKey && kernel.WideCharToMultiByte(CP_ACP, 0, subKey, -1, properties.subKey,
                                                      kSubKeyBytes, nullptr, nullptr)) {
                Present(properties, RecordField::SubKey);
            }
        } else if (const wchar_t* comment = AfterPrefix(text, kCommentField)) {
            properties.comment = comment;
        } else if (const wchar_t* location = AfterPrefix(text, kLocationField)) {
            properties.location = location;
        } else if (const wchar_t* rest = AfterPrefix(text, kDefaultField)) {
            if (*rest == 0) {
                Present(properties, RecordField::Default);
            }
        }
    }
    return Holds(properties, RecordField::SubKey);
}

// The value of `name` in `key`, with two zero characters more than the
// registry says: a value written by hand need not end as REG_MULTI_SZ should.
LSTATUS QueryValue(HKEY key, const wchar_t* name, UniqueGlobal& data, DWORD& type, DWORD& bytes) {
    bytes = 0;
    LSTATUS status = advapi.RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    data.Reset(AllocGlobal(bytes + 2 * sizeof(wchar_t)));
    if (!data) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return advapi.RegQueryValueExW(key, name, nullptr, &type, static_cast<BYTE*>(data.Get()),
                                   &bytes);
}

bool KeyIsEmpty(const wchar_t* path) {
    UniqueKey key;
    if (OpenKey(path, KEY_QUERY_VALUE, key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD subKeys = 1;
    DWORD values = 1;
    return advapi.RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                   &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
           subKeys == 0 && values == 0;
}

// `name`, or `name (n)` when an earlier entry of that name was set aside.
bool FreeSetAsideName(HKEY setAside, const wchar_t* name, wchar_t* free) {
    for (int copy = 1; copy <= kMaxSetAsideCopies; ++copy) {
        if (copy == 1) {
            kernel.lstrcpyW(free, name);
        } else {
            user.wsprintfW(free, L"%s (%d)", name, copy);
        }
        LSTATUS status =
            advapi.RegQueryValueExW(setAside, free, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_FILE_NOT_FOUND) {
            return true;
        }
        if (status != ERROR_SUCCESS) {
            return Succeeded(status);
        }
    }
    return Succeeded(ERROR_ALREADY_EXISTS);
}

}  // namespace

JournalLookup LookUpJournal(const wchar_t* name) {
    UniqueKey key;
    LSTATUS status = OpenKey(kJournalKey, KEY_QUERY_VALUE, key);
    if (status == ERROR_SUCCESS) {
        status = advapi.RegQueryValueExW(key.Get(), name, nullptr, nullptr, nullptr, nullptr);
    }
    if (status == ERROR_FILE_NOT_FOUND) {
        return JournalLookup::Absent;
    }
    return Succeeded(status) ? JournalLookup::Present : JournalLookup::Unknown;
}

bool JournalPrinter(const wchar_t* name, const void* record, DWORD bytes) {
    return WriteEntryIn(kJournalKey, name, record, bytes);
}

bool FlushJournal() {
    // Written is not yet kept: only a flushed entry survives a power cut, and
    // the printers are deleted right after this. RegFlushKey writes the whole
    // hive and holds its writers meanwhile, so a reinstall flushes once.
    return FlushHive(kJournalKey);
}

void ForgetJournaledPrinter(const wchar_t* name) {
    // Not flushed: an entry that a power cut brings back names a printer that
    // is back too (its record was flushed first), and it holds what that
    // printer holds.
    ForgetEntryIn(kJournalKey, name);
}

void FindSpoolerRecord(SpoolerRecord& record, const wchar_t* name) {
    bool found = false;
    for (int i = 0; i < 2; ++i) {
        // Printer names are shorter than MAX_PATH; wsprintfW stops at its buffer.
        wchar_t path[kLogLineChars];
        user.wsprintfW(path, L"%s\\%s", kSpoolerPrinterKeys[i], name);
        UniqueKey key;
        bool holds = OpenKey(path, KEY_QUERY_VALUE, key) == ERROR_SUCCESS;
        record.holds[i] = record.holds[i] || holds;
        found = found || holds;
    }
    record.unknown = record.unknown || !found;
}

bool FlushSpoolerRecord(const SpoolerRecord& record) {
    if (record.unknown) {
        return Succeeded(ERROR_FILE_NOT_FOUND);
    }
    for (int i = 0; i < 2; ++i) {
        if (record.holds[i] && !FlushHive(kSpoolerPrinterKeys[i])) {
            return false;
        }
    }
    return true;
}

bool ReadJournalNames(JournalNames& names) {
    return ReadNamesIn(kJournalKey, names);
}

namespace {

JournalRead ReadEntryIn(const wchar_t* path, const wchar_t* name, JournalEntry& entry) {
    entry.data.Reset();
    entry.properties = {};
    UniqueKey key;
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    LSTATUS status = OpenKey(path, KEY_QUERY_VALUE, key);
    if (status == ERROR_SUCCESS) {
        status = QueryValue(key.Get(), name, entry.data, type, bytes);
    }
    if (status == ERROR_FILE_NOT_FOUND) {
        return JournalRead::Gone;
    }
    if (!Succeeded(status)) {
        return JournalRead::Failed;
    }
    bool read =
        kernel.lstrlenW(name) < static_cast<int>(kJournalNameChars) &&
        (type == REG_BINARY ? ReadRecord(entry.data.Get(), bytes, entry.properties)
         : type == REG_MULTI_SZ && path == kJournalKey
             ? ReadEarlierEntry(static_cast<const wchar_t*>(entry.data.Get()), entry.properties)
             : false);
    if (!read) {
        kernel.SetLastError(ERROR_INVALID_DATA);
        return JournalRead::Damaged;
    }
    return JournalRead::Entry;
}

bool WriteEntryIn(const wchar_t* path, const wchar_t* name, const void* record, DWORD bytes) {
    if (!name || kernel.lstrlenW(name) >= static_cast<int>(kJournalNameChars)) {
        kernel.SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    UniqueKey key;
    LSTATUS status = CreateKey(path, key);
    if (status == ERROR_SUCCESS) {
        status = advapi.RegSetValueExW(key.Get(), name, 0, REG_BINARY,
                                       static_cast<const BYTE*>(record), bytes);
    }
    return Succeeded(status);
}

void ForgetEntryIn(const wchar_t* path, const wchar_t* name) {
    UniqueKey key;
    if (OpenKey(path, KEY_SET_VALUE, key) == ERROR_SUCCESS) {
        advapi.RegDeleteValueW(key.Get(), name);
    }
}

bool ReadNamesIn(const wchar_t* path, JournalNames& names) {
    names.block.Reset();
    names.count = 0;
    UniqueKey key;
    LSTATUS status = OpenKey(path, KEY_QUERY_VALUE, key);
    if (status == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    DWORD values = 0;
    DWORD longest = 0;
    if (status == ERROR_SUCCESS) {
        status = advapi.RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, &values, &longest, nullptr, nullptr, nullptr);
    }
    if (status != ERROR_SUCCESS || values == 0) {
        return Succeeded(status);
    }
    names.block.Reset(AllocGlobal((SIZE_T{values} * (longest + 1) + 1) * sizeof(wchar_t)));
    if (!names.block) {
        return Succeeded(ERROR_NOT_ENOUGH_MEMORY);
    }
    auto* at = static_cast<wchar_t*>(names.block.Get());
    for (DWORD index = 0; index < values; ++index) {
        DWORD chars = longest + 1;
        status =
            advapi.RegEnumValueW(key.Get(), index, at, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status != ERROR_SUCCESS) {
            return Succeeded(status);
        }
        at += chars + 1;
        ++names.count;
    }
    return true;
}

}  // namespace

JournalRead ReadJournalEntry(const wchar_t* name, JournalEntry& entry) {
    return ReadEntryIn(kJournalKey, name, entry);
}

JournalRead ReadOwedEntry(const wchar_t* name, JournalEntry& entry) {
    return ReadEntryIn(kOwedKey, name, entry);
}

bool WriteOwedEntry(const wchar_t* name, const void* record, DWORD bytes) {
    return WriteEntryIn(kOwedKey, name, record, bytes);
}

void ForgetOwedEntry(const wchar_t* name) {
    ForgetEntryIn(kOwedKey, name);
}

bool ReadOwedNames(JournalNames& names) {
    return ReadNamesIn(kOwedKey, names);
}

bool SetAsideJournalEntry(const wchar_t* name) {
    UniqueKey journal;
    UniqueKey setAside;
    UniqueGlobal data;
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    LSTATUS status = OpenKey(kJournalKey, KEY_QUERY_VALUE | KEY_SET_VALUE, journal);
    if (status == ERROR_SUCCESS) {
        status = QueryValue(journal.Get(), name, data, type, bytes);
    }
    if (status == ERROR_SUCCESS) {
        status = CreateKey(kSetAsideKey, setAside);
    }
    if (status != ERROR_SUCCESS) {
        return Succeeded(status);
    }
    UniqueGlobal free(AllocGlobal((kernel.lstrlenW(name) + 16) * sizeof(wchar_t)));
    if (!free) {
        return Succeeded(ERROR_NOT_ENOUGH_MEMORY);
    }
    auto* freeName = static_cast<wchar_t*>(free.Get());
    if (!FreeSetAsideName(setAside.Get(), name, freeName)) {
        return false;
    }
    // Copied first, deleted after: both are in the same hive, so no state on
    // disk has the entry in neither place.
    status = advapi.RegSetValueExW(setAside.Get(), freeName, 0, type,
                                   static_cast<const BYTE*>(data.Get()), bytes);
    if (status == ERROR_SUCCESS) {
        status = advapi.RegDeleteValueW(journal.Get(), name);
    }
    return Succeeded(status);
}

void CloseJournal(bool dropEntries) {
    constexpr const wchar_t* kKeys[] = {kOwedKey, kJournalKey};
    for (const wchar_t* key : kKeys) {
        if (dropEntries || KeyIsEmpty(key)) {
            advapi.RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
        }
    }
    for (const wchar_t* parent : kJournalParentKeys) {
        if (!KeyIsEmpty(parent) ||
            advapi.RegDeleteKeyW(HKEY_LOCAL_MACHINE, parent) != ERROR_SUCCESS) {
            return;
        }
    }
}
