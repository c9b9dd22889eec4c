// A length-prefixed wide string in one block of the process heap. None (null)
// is the empty string; a block never holds length 0. The block is the 64-bit
// length, the characters and a zero character, with room for (length + 1)
// characters rounded up to a multiple of 32.
#pragma once

#include <windows.h>

struct CountedString {
    void* block;
};

// Bytes of the block that holds a string of `length` characters.
SIZE_T CountedStringBlockSize(SIZE_T length);

// The text after `prefix` when `text` starts with it (same case), or null.
const wchar_t* AfterPrefix(const wchar_t* text, const wchar_t* prefix);

SIZE_T CountedLength(CountedString s);
// The characters, zero-terminated; a writable view for callers of Resize.
wchar_t* CountedChars(CountedString s);
// The text, or "" for none.
const wchar_t* CountedText(CountedString s);

bool ResizeCountedString(CountedString& s, SIZE_T length);
void AssignCountedString(CountedString& s, const wchar_t* text);
void AppendCountedString(CountedString& s, const wchar_t* text);
void CopyCountedString(CountedString& target, const CountedString& source);
CountedString& CountedStringFromAnsi(CountedString& target, const char* text);
CountedString& CountedStringDirectoryPart(const CountedString& source, CountedString& target);
void FreeCountedString(CountedString& s);
