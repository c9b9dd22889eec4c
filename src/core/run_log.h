// The in-memory log of a run: indented lines ending in CR LF, numbered and
// counted error lines carrying the system's text for the last error code.
#pragma once

#include <windows.h>

#include "core/errors.h"
#include "core/install_run.h"

inline constexpr int kLogLineChars = 1024;
inline constexpr int kMaxLogIndent = 10;

void AppendLogText(InstallRun& run, const wchar_t* text);
// Held while a line is appended: whoever holds it may read the log whole.
void LockRunLog();
void UnlockRunLog();
// Formats follow Microsoft's printf: %s is a wide string. The formats
// themselves are ASCII text, kept narrow: they are a good part of the
// executable, which must stay within 64 KiB.
void LogLine(InstallRun& run, const char* format, ...);
// "Error(N): text - (the system's text for the last error)", counted; the
// number and text are one of core/errors.h's.
void LogError(InstallRun& run, ErrorNumber number, ...);
// English text of a Windows error code without trailing line breaks, or null.
// Release it with LocalFree.
wchar_t* SystemErrorText(DWORD code);
