// The file operations that Windows carries out at the next restart, read from
// PendingFileRenameOperations (never written: files are scheduled only
// through MoveFileExW), and the deletions among them that can be done now.
#pragma once

#include <windows.h>

// The value's strings in pairs: names[2k] is the source of pair k, names[2k+1]
// its target, each copied as stored (an object-manager prefix "\??\" included),
// null for an empty string. flags[i] is 1 when entry i names an existing file
// that is not a directory. Arrays and copies come from the fixed global heap;
// an empty table has no arrays and a count of 0.
struct PendingRenameTable {
    wchar_t** names;
    INT32* flags;
    INT32 count;
};

// Always a valid table, empty when the value is absent, empty or unreadable.
PendingRenameTable ReadPendingRenames();
// Deletes the sources of pending deletions that still exist as files, and
// clears their flags. Renames are left to Windows; nothing is logged.
void FlushPendingDeletes(PendingRenameTable& table);
// Frees everything the table owns and leaves it empty.
void ReleasePendingRenames(PendingRenameTable& table);
