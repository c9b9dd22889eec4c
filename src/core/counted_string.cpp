#include "core/counted_string.h"

#include "core/kernel_api.h"

namespace {

constexpr SIZE_T kHeaderBytes = 8;
constexpr SIZE_T kGrowChars = 32;

UINT64& LengthField(void* block) {
    return *static_cast<UINT64*>(block);
}

SIZE_T TextLength(const wchar_t* text) {
    SIZE_T n = 0;
    while (text[n]) {
        ++n;
    }
    return n;
}

void CopyChars(wchar_t* to, const wchar_t* from, SIZE_T count) {
    for (SIZE_T i = 0; i < count; ++i) {
        to[i] = from[i];
    }
}

}  // namespace

const wchar_t* AfterPrefix(const wchar_t* text, const wchar_t* prefix) {
    while (*prefix && *text == *prefix) {
        ++text;
        ++prefix;
    }
    return *prefix ? nullptr : text;
}

SIZE_T CountedStringBlockSize(SIZE_T length) {
    SIZE_T capacity = (length + 1 + kGrowChars - 1) / kGrowChars * kGrowChars;
    return capacity * sizeof(wchar_t) + kHeaderBytes;
}

SIZE_T CountedLength(CountedString s) {
    return s.block ? static_cast<SIZE_T>(LengthField(s.block)) : 0;
}

wchar_t* CountedChars(CountedString s) {
    return s.block ? reinterpret_cast<wchar_t*>(static_cast<char*>(s.block) + kHeaderBytes)
                   : nullptr;
}

const wchar_t* CountedText(CountedString s) {
    return s.block ? CountedChars(s) : L"";
}

bool ResizeCountedString(CountedString& s, SIZE_T length) {
    if (length == 0) {
        FreeCountedString(s);
        return true;
    }
    SIZE_T newSize = CountedStringBlockSize(length);
    SIZE_T oldSize = s.block ? CountedStringBlockSize(CountedLength(s)) : 0;
    if (newSize != oldSize) {
        HANDLE heap = kernel.GetProcessHeap();
        void* block = oldSize == 0 ? kernel.HeapAlloc(heap, 0, newSize)
                                   : kernel.HeapReAlloc(heap, 0, s.block, newSize);
        // Out of heap: keep what there is rather than write through null.
        if (!block) {
            return false;
        }
        s.block = block;
    }
    CountedChars(s)[length] = 0;
    LengthField(s.block) = length;
    return true;
}

void AssignCountedString(CountedString& s, const wchar_t* text) {
    SIZE_T n = text ? TextLength(text) : 0;
    if (n == 0) {
        FreeCountedString(s);
        return;
    }
    if (ResizeCountedString(s, n)) {
        CopyChars(CountedChars(s), text, n);
    }
}

void AppendCountedString(CountedString& s, const wchar_t* text) {
    SIZE_T k = TextLength(text);
    if (k == 0) {
        return;
    }
    SIZE_T m = CountedLength(s);
    if (ResizeCountedString(s, m + k)) {
        CopyChars(CountedChars(s) + m, text, k);
    }
}

void CopyCountedString(CountedString& target, const CountedString& source) {
    if (&target == &source || !source.block) {
        return;
    }
    SIZE_T n = CountedLength(source);
    if (ResizeCountedString(target, n)) {
        CopyChars(CountedChars(target), CountedChars(source), n);
    }
}

CountedString& CountedStringFromAnsi(CountedString& target, const char* text) {
    target.block = nullptr;
    int n = kernel.MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, nullptr, 0);
    if (n < 2 || !ResizeCountedString(target, static_cast<SIZE_T>(n - 1))) {
        return target;
    }
    kernel.MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, CountedChars(target), n);
    return target;
}

CountedString& CountedStringDirectoryPart(const CountedString& source, CountedString& target) {
    target.block = nullptr;
    const wchar_t* text = CountedChars(source);
    SIZE_T n = CountedLength(source);
    SIZE_T cut = n;
    for (SIZE_T i = 0; i < n; ++i) {
        if (text[i] == L'\\') {
            cut = i;
        }
    }
    // Forward slashes count only in a path that has no backslash at all.
    if (cut == n) {
        for (SIZE_T i = 0; i < n; ++i) {
            if (text[i] == L'/') {
                cut = i;
            }
        }
    }
    if (cut == n || cut == 0) {
        return target;
    }
    if (ResizeCountedString(target, cut)) {
        CopyChars(CountedChars(target), text, cut);
    }
    return target;
}

void FreeCountedString(CountedString& s) {
    if (s.block) {
        kernel.HeapFree(kernel.GetProcessHeap(), 0, s.block);
        s.block = nullptr;
    }
}
