#include "files/file_copy.h"

#include "core/counted_string.h"
#include "core/handles.h"
#include "core/kernel_api.h"
#include "core/product.h"
#include "core/run_log.h"

namespace {

constexpr DWORD kCopyBufferBytes = 8192;
constexpr int kDestinationTries = 100;
constexpr DWORD kDestinationPauseMs = 50;
constexpr DWORD kDestinationTimeLimitMs = 10000;
// Room beside the directory and the name: one separator, the terminator and
// one character to spare.
constexpr SIZE_T kPathExtraChars = 3;

const wchar_t* TextOrEmpty(const wchar_t* text) {
    return text ? text : L"";
}

// Appends `text` at `at`, never past `capacity` characters with the
// terminator; returns the new length.
SIZE_T AppendText(wchar_t* into, SIZE_T capacity, SIZE_T at, const wchar_t* text) {
    while (*text && at + 1 < capacity) {
        into[at++] = *text++;
    }
    into[at] = 0;
    return at;
}

// Only a backslash counts as a separator already there: "dir/" gets one too.
bool NeedsSeparator(const wchar_t* dir) {
    int length = kernel.lstrlenW(dir);
    return length > 0 && dir[length - 1] != L'\\';
}

void ComposePath(wchar_t* into, SIZE_T capacity, const wchar_t* dir, const wchar_t* name) {
    SIZE_T at = AppendText(into, capacity, 0, dir);
    if (NeedsSeparator(dir)) {
        at = AppendText(into, capacity, at, L"\\");
    }
    AppendText(into, capacity, at, name);
}

// The path in a global block sized from the actual lengths: no path limit
// applies and nothing is cut. Null when the block cannot be had.
UniqueGlobal MakePath(const wchar_t* dir, const wchar_t* name) {
    SIZE_T chars = kernel.lstrlenW(dir) + kernel.lstrlenW(name) + kPathExtraChars;
    UniqueGlobal block(AllocGlobal(chars * sizeof(wchar_t)));
    if (block) {
        ComposePath(static_cast<wchar_t*>(block.Get()), chars, dir, name);
    }
    return block;
}

const wchar_t* PathOf(const UniqueGlobal& block) {
    return static_cast<const wchar_t*>(block.Get());
}

HANDLE OpenSource(const wchar_t* path) {
    return kernel.CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
}

// The caller logs the failed open with the last error: the line must keep it.
void LogTimeout(InstallRun& run) {
    DWORD code = kernel.GetLastError();
    LogLine(run, "CreateFile - timeout");
    kernel.SetLastError(code);
}

// Only the count written tells: a failed write reports 0 bytes.
bool WriteChunk(InstallRun& run, HANDLE destination, const BYTE* bytes, DWORD count,
                const wchar_t* targetPath) {
    DWORD written = 0;
    kernel.WriteFile(destination, bytes, count, &written, nullptr);
    if (written != count) {
        LogError(run, kErrorCopyFile, targetPath);
        return false;
    }
    return true;
}

// Ends at the first short read (the end of the file), a failed read or a
// short write; what was copied until then stays.
void CopyContents(InstallRun& run, HANDLE source, HANDLE destination, const wchar_t* targetPath) {
    BYTE buffer[kCopyBufferBytes];
    DWORD read = kCopyBufferBytes;
    while (read == kCopyBufferBytes) {
        read = 0;
        if (!kernel.ReadFile(source, buffer, kCopyBufferBytes, &read, nullptr)) {
            return;
        }
        if (read > 0 && !WriteChunk(run, destination, buffer, read, targetPath)) {
            return;
        }
    }
}

HRESULT CopyBetweenPaths(InstallRun& run, const wchar_t* targetDir, const wchar_t* fileName,
                         wchar_t* targetPathOut, bool report) {
    UniqueGlobal sourcePath = MakePath(CountedText(run.sourceDir), fileName);
    UniqueGlobal targetPath = MakePath(targetDir, fileName);
    if (targetPathOut) {
        ComposePath(targetPathOut, kPathBufferChars, targetDir, fileName);
    }
    // Without its paths the copy cannot start: that counts as a source that
    // does not open (the last error is GlobalAlloc's).
    UniqueFile source;
    if (sourcePath && targetPath) {
        source.Reset(OpenSource(PathOf(sourcePath)));
    }
    if (!source) {
        if (report) {
            LogError(run, kErrorOpenSource, fileName);
        }
        return E_FAIL;
    }
    // A target directory the run could not resolve leaves a bare name, which
    // Windows resolves against the current directory: an elevated installer
    // must not drop a component into whatever folder it was started from.
    UniqueFile destination;
    if (*targetDir) {
        destination.Reset(OpenDestinationWithRetry(run, PathOf(targetPath)));
    } else {
        kernel.SetLastError(ERROR_PATH_NOT_FOUND);
    }
    if (!destination) {
        if (report) {
            LogError(run, kErrorOpenDestination, PathOf(targetPath));
        }
        return E_FAIL;
    }
    CopyContents(run, source.Get(), destination.Get(), PathOf(targetPath));
    // Guards close the destination first, then the source.
    return S_OK;
}

}  // namespace

HRESULT CopyProductFile(InstallRun& run, const wchar_t* targetDir, const wchar_t* fileName,
                        wchar_t* targetPath, BYTE report) {
    targetDir = TextOrEmpty(targetDir);
    fileName = TextOrEmpty(fileName);
    LogLine(run, ">CopyFile %s to %s [%d])", fileName, targetDir, report ? 1 : 0);
    ++run.logDepth;
    HRESULT result = CopyBetweenPaths(run, targetDir, fileName, targetPath, report != 0);
    LogLine(run, result == S_OK ? "Copy Succeeded :)" : "Copy Failed :(");
    --run.logDepth;
    return result;
}

HANDLE OpenDestinationWithRetry(InstallRun& run, const wchar_t* path) {
    DWORD start = kernel.GetTickCount();
    for (int attempt = 0; attempt < kDestinationTries; ++attempt) {
        HANDLE file = kernel.CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            return file;
        }
        // Unsigned difference: a wrap of the tick counter does no harm.
        if (kernel.GetTickCount() - start > kDestinationTimeLimitMs) {
            LogTimeout(run);
            return INVALID_HANDLE_VALUE;
        }
        kernel.Sleep(kDestinationPauseMs);
    }
    return INVALID_HANDLE_VALUE;
}
