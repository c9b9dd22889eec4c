#include "core/run_log.h"

#include <stdarg.h>

#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/user_api.h"

namespace {

// user32's wvsprintfW has Microsoft's semantics (%s is wide, whatever stdio
// flavour the compiler picked) and never writes more than 1024 characters.
// The ASCII format is widened first, character by character.
void FormatInto(wchar_t (&line)[kLogLineChars], const char* format, va_list args) {
    wchar_t wide[kLogLineChars];
    int n = 0;
    for (; format[n] && n < kLogLineChars - 1; ++n) {
        wide[n] = static_cast<unsigned char>(format[n]);
    }
    wide[n] = 0;
    line[0] = 0;
    user.wvsprintfW(line, wide, args);
    line[kLogLineChars - 1] = 0;
}

// Appends `text` to the zero-terminated line, cutting it at the buffer's end.
void AppendToLine(wchar_t (&line)[kLogLineChars], const wchar_t* text) {
    int at = kernel.lstrlenW(line);
    while (*text && at < kLogLineChars - 1) {
        line[at++] = *text++;
    }
    line[at] = 0;
}

// A run's log is written by its own thread and, once, by the watch of its
// deadline (app/run_deadline.cpp), which then keeps it for good.
SRWLOCK logLock = SRWLOCK_INIT;

}  // namespace

void LockRunLog() {
    kernel.AcquireSRWLockExclusive(&logLock);
}

void UnlockRunLog() {
    kernel.ReleaseSRWLockExclusive(&logLock);
}

void AppendLogText(InstallRun& run, const wchar_t* text) {
    LockRunLog();
    if (run.logDepth > 0) {
        wchar_t indent[2 * kMaxLogIndent + 1];
        int width = 2 * (run.logDepth < kMaxLogIndent ? run.logDepth : kMaxLogIndent);
        for (int i = 0; i < width; ++i) {
            indent[i] = L' ';
        }
        indent[width] = 0;
        AppendCountedString(run.logText, indent);
    }
    if (text && *text) {
        AppendCountedString(run.logText, text);
    }
    AppendCountedString(run.logText, L"\r\n");
    UnlockRunLog();
}

void LogLine(InstallRun& run, const char* format, ...) {
    wchar_t line[kLogLineChars];
    va_list args;
    va_start(args, format);
    FormatInto(line, format, args);
    va_end(args);
    AppendLogText(run, line);
}

void LogError(InstallRun& run, ErrorNumber number, ...) {
    // Taken first: formatting calls into user32, which may touch the last error.
    DWORD code = kernel.GetLastError();
    wchar_t line[kLogLineChars];
    user.wsprintfW(line, L"Error(%d): ", number);
    wchar_t message[kLogLineChars];
    va_list args;
    va_start(args, number);
    FormatInto(message, ErrorFormat(number), args);
    va_end(args);
    AppendToLine(line, message);

    UniqueLocal systemText;
    if (code != 0) {
        systemText.Reset(reinterpret_cast<HLOCAL>(SystemErrorText(code)));
        if (systemText) {
            AppendToLine(line, L" - (");
            AppendToLine(line, static_cast<const wchar_t*>(systemText.Get()));
            AppendToLine(line, L")");
        } else {
            AppendToLine(line, L" - ( No Description )");
        }
    }
    AppendLogText(run, line);
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&run.errorCount));
    kernel.SetLastError(code);
}

wchar_t* SystemErrorText(DWORD code) {
    wchar_t* text = nullptr;
    DWORD n = kernel.FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, 0x409, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (n == 0 || !text) {
        return nullptr;
    }
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n')) {
        text[--n] = 0;
    }
    return text;
}
