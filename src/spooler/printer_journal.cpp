#include "spooler/printer_journal.h"

#include "core/counted_string.h"
#include "core/kernel_api.h"

namespace {

constexpr wchar_t kJournalKey[] =
    L"SOFTWARE\\Dravish Software KFT\\Zantorelle\\Printers in transit";
// Made with the journal when it is first written; deleted after it when empty.
constexpr const wchar_t* kParentKeys[] = {L"SOFTWARE\\Dravish Software KFT\\Zantorelle",
                                          L"SOFTWARE\\Dravish Software KFT"};
constexpr wchar_t kSubKeyField[] = L"SubKey=";
constexpr wchar_t kCommentField[] = L"Comment=";
constexpr wchar_t kLocationField[] = L"Location=";
constexpr wchar_t kDefaultField[] = L"Default=1";

// Registry calls answer with a status, not the last error: callers log that.
bool Succeeded(LSTATUS status) {
    SetLastError(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}

LSTATUS OpenJournal(REGSAM access, UniqueKey& key) {
    HKEY opened = nullptr;
    LSTATUS status = kernel.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kJournalKey, 0, access, &opened);
    if (status == ERROR_SUCCESS) {
        key.Reset(opened);
    }
    return status;
}

// Puts "<field><text>" and its terminator at `at`, or only counts without a
// block; returns where the next string starts.
SIZE_T PutField(wchar_t* block, SIZE_T at, const wchar_t* field, const wchar_t* text) {
    if (block) {
        lstrcpyW(block + at, field);
        lstrcatW(block + at, text);
    }
    return at + lstrlenW(field) + lstrlenW(text) + 1;
}

// The entry as REG_MULTI_SZ: its strings and the empty one that ends them.
// Returns its length in characters.
SIZE_T ComposeEntry(wchar_t* block, const wchar_t* subKey, const PRINTER_INFO_2W& printer) {
    SIZE_T at = PutField(block, 0, kSubKeyField, subKey);
    if (printer.pComment) {
        at = PutField(block, at, kCommentField, printer.pComment);
    }
    if (printer.pLocation) {
        at = PutField(block, at, kLocationField, printer.pLocation);
    }
    if (printer.Attributes & PRINTER_ATTRIBUTE_DEFAULT) {
        at = PutField(block, at, kDefaultField, L"");
    }
    if (block) {
        block[at] = 0;
    }
    return at + 1;
}

// Strings of other names are passed over: a later build may add some.
void ParseEntry(JournalEntry& entry) {
    for (const wchar_t* text = static_cast<const wchar_t*>(entry.data.Get()); *text;
         text += lstrlenW(text) + 1) {
        if (const wchar_t* subKey = AfterPrefix(text, kSubKeyField)) {
            if (!WideCharToMultiByte(CP_ACP, 0, subKey, -1, entry.subKey, kSubKeyBytes, nullptr,
                                     nullptr)) {
                entry.subKey[0] = 0;
            }
        } else if (const wchar_t* comment = AfterPrefix(text, kCommentField)) {
            entry.comment = comment;
        } else if (const wchar_t* location = AfterPrefix(text, kLocationField)) {
            entry.location = location;
        } else if (const wchar_t* rest = AfterPrefix(text, kDefaultField)) {
            entry.wasDefault = *rest == 0;
        }
    }
}

// The value of the entry's name, two zero characters longer than the registry
// says: a value written by hand need not end as REG_MULTI_SZ should.
bool ReadEntryValue(HKEY key, DWORD bytes, JournalEntry& entry) {
    entry.data.Reset(AllocGlobal(bytes + 2 * sizeof(wchar_t)));
    if (!entry.data) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    DWORD type = 0;
    LSTATUS status = kernel.RegQueryValueExW(key, entry.name, nullptr, &type,
                                             static_cast<BYTE*>(entry.data.Get()), &bytes);
    if (status == ERROR_SUCCESS && type != REG_MULTI_SZ) {
        status = ERROR_INVALID_DATA;
    }
    return Succeeded(status);
}

bool KeyIsEmpty(const wchar_t* path) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
        return false;
    }
    UniqueKey key(opened);
    DWORD subKeys = 1;
    DWORD values = 1;
    return RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                            &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
           subKeys == 0 && values == 0;
}

}  // namespace

JournalLookup LookUpJournal(const wchar_t* name) {
    UniqueKey key;
    LSTATUS status = OpenJournal(KEY_QUERY_VALUE, key);
    if (status == ERROR_SUCCESS) {
        status = kernel.RegQueryValueExW(key.Get(), name, nullptr, nullptr, nullptr, nullptr);
    }
    if (status == ERROR_FILE_NOT_FOUND) {
        return JournalLookup::Absent;
    }
    return Succeeded(status) ? JournalLookup::Present : JournalLookup::Unknown;
}

bool JournalPrinter(const SavedPrinter& saved) {
    const PRINTER_INFO_2W& printer = *saved.printerEntry;
    const wchar_t* name = printer.pPrinterName;
    wchar_t subKey[kSubKeyBytes] = {};
    if (!name || lstrlenW(name) >= static_cast<int>(kJournalNameChars) ||
        !MultiByteToWideChar(CP_ACP, 0, saved.subKey, -1, subKey, kSubKeyBytes)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    SIZE_T chars = ComposeEntry(nullptr, subKey, printer);
    UniqueGlobal block(AllocGlobal(chars * sizeof(wchar_t)));
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    ComposeEntry(static_cast<wchar_t*>(block.Get()), subKey, printer);
    HKEY opened = nullptr;
    LSTATUS status =
        kernel.RegCreateKeyExW(HKEY_LOCAL_MACHINE, kJournalKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_SET_VALUE, nullptr, &opened, nullptr);
    if (status != ERROR_SUCCESS) {
        return Succeeded(status);
    }
    UniqueKey key(opened);
    status = kernel.RegSetValueExW(key.Get(), name, 0, REG_MULTI_SZ,
                                   static_cast<const BYTE*>(block.Get()),
                                   static_cast<DWORD>(chars * sizeof(wchar_t)));
    // Written is not yet kept: only a flushed entry survives a power cut,
    // and the printer is deleted right after this.
    if (status == ERROR_SUCCESS) {
        status = kernel.RegFlushKey(key.Get());
    }
    return Succeeded(status);
}

void ForgetJournaledPrinter(const wchar_t* name) {
    // Not flushed: an entry that a power cut brings back names a printer that
    // is back too, and it holds what that printer holds.
    UniqueKey key;
    if (OpenJournal(KEY_SET_VALUE, key) == ERROR_SUCCESS) {
        kernel.RegDeleteValueW(key.Get(), name);
    }
}

JournalRead ReadJournalEntry(DWORD index, JournalEntry& entry) {
    entry.name[0] = 0;
    entry.data.Reset();
    entry.subKey[0] = 0;
    entry.comment = nullptr;
    entry.location = nullptr;
    entry.wasDefault = false;
    UniqueKey key;
    LSTATUS status = OpenJournal(KEY_QUERY_VALUE, key);
    DWORD bytes = 0;
    if (status == ERROR_SUCCESS) {
        DWORD nameChars = kJournalNameChars;
        status = kernel.RegEnumValueW(key.Get(), index, entry.name, &nameChars, nullptr, nullptr,
                                      nullptr, &bytes);
    }
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_NO_MORE_ITEMS) {
        return JournalRead::End;
    }
    // Also a name longer than any printer's (ERROR_MORE_DATA): not an entry of ours.
    if (status != ERROR_SUCCESS) {
        entry.name[0] = 0;
        Succeeded(status);
        return JournalRead::Unreadable;
    }
    if (!ReadEntryValue(key.Get(), bytes, entry)) {
        return JournalRead::Unreadable;
    }
    ParseEntry(entry);
    if (!entry.subKey[0]) {
        SetLastError(ERROR_INVALID_DATA);
        return JournalRead::Unreadable;
    }
    return JournalRead::Entry;
}

void CloseJournal(bool dropEntries) {
    if (!dropEntries && !KeyIsEmpty(kJournalKey)) {
        return;
    }
    if (RegDeleteKeyW(HKEY_LOCAL_MACHINE, kJournalKey) != ERROR_SUCCESS) {
        return;
    }
    for (const wchar_t* parent : kParentKeys) {
        if (!KeyIsEmpty(parent) || RegDeleteKeyW(HKEY_LOCAL_MACHINE, parent) != ERROR_SUCCESS) {
            return;
        }
    }
}
