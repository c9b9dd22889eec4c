// The file operations that Windows carries out at the next restart, read from
// PendingFileRenameOperations, and the deletions among them that can be done
// now. Files are scheduled only through MoveFileExW; the value is written in
// one case alone, ForgetPendingDelete.
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
// Takes back the pending deletions of `path` (written with or without "\??\",
// in any letter case), leaving every other pair and the rest of the value as
// they were, and deletes the value when nothing is left. A file locked at an
// uninstall is scheduled for deletion at the next restart; when an install
// then puts a new file under that name before the restart, Windows would
// delete the new file, so the install takes the deletion back. True when a
// deletion was taken back; false when none was pending or the value could not
// be read or written, and the value is then as it was.
bool ForgetPendingDelete(const wchar_t* path);
