#include "app/entry.h"

#include "app/procedures.h"
#include "app/run_lock.h"
#include "app/runs.h"
#include "core/user_api.h"
#include "app/user_steps.h"
#include "spooler/default_printer.h"
#include "tray/tray_companion.h"

HINSTANCE moduleInstance = nullptr;

namespace {

struct CommandWord {
    const wchar_t* word;
    bool caseSensitive;
    Command command;
};

// Compared in this order; the first whole-word match decides.
constexpr CommandWord kCommandWords[] = {
    {L"onInit", false, Command::StartupCheck},
    {L"un", false, Command::Uninstall},
    {L"uninstall", false, Command::Uninstall},
    {L"removetray", false, Command::RemoveTray},
    {L"in", false, Command::Install},
    {L"install", false, Command::Install},
    {L"serverinstall", false, Command::Install},
    {L"def.set", true, Command::DefaultPrinter},
    {L"check", false, Command::Check},
    {kDefaultStepWord, true, Command::UserDefaultStep},
    {kRestoreStepWord, true, Command::UserRestoreStep},
};

// Folds A-Z only: the words are ASCII and no locale may change the match
// (a Turkish dotless i must not make "INSTALL" equal "install").
wchar_t FoldAscii(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c;
}

bool WordEquals(const wchar_t* word, const wchar_t* text, bool caseSensitive) {
    for (;; ++word, ++text) {
        wchar_t a = caseSensitive ? *word : FoldAscii(*word);
        wchar_t b = caseSensitive ? *text : FoldAscii(*text);
        if (a != b) {
            return false;
        }
        if (a == 0) {
            return true;
        }
    }
}

bool IsBlank(wchar_t c) {
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

INT32 ParseClampedDecimal(const wchar_t* text) {
    while (IsBlank(*text)) {
        ++text;
    }
    bool negative = *text == L'-';
    if (*text == L'+' || *text == L'-') {
        ++text;
    }
    // Accumulate the magnitude up to one past the limit; more digits change nothing.
    constexpr INT64 kLimit = INT64{0x80000000};
    INT64 magnitude = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        magnitude = magnitude * 10 + (*text - L'0');
        if (magnitude > kLimit) {
            magnitude = kLimit + 1;
        }
    }
    INT64 value = negative ? -magnitude : magnitude;
    if (value > INT64{0x7FFFFFFF}) {
        return 0x7FFFFFFF;
    }
    if (value < -kLimit) {
        return static_cast<INT32>(-kLimit);
    }
    return static_cast<INT32>(value);
}

// These act after a running install or uninstall, whether it ended or the
// wait ran out: their callers have no way to hear of a wait in vain.
int StartupCheck() {
    ScopedRunLock lock;
    if (PendingFilesCheck()) {
        return kExitRebootPending;
    }
    return DefaultPrinterCheck() ? kExitDefaultNotProduct : kExitDefaultIsProduct;
}

}  // namespace

Command MatchCommand(const wchar_t* word) {
    for (const CommandWord& entry : kCommandWords) {
        if (WordEquals(entry.word, word, entry.caseSensitive)) {
            return entry.command;
        }
    }
    return Command::None;
}

HWND ParseParentWindow(const wchar_t* text) {
    // Window handles are 32-bit values sign-extended to pointer width.
    HWND window = reinterpret_cast<HWND>(static_cast<INT_PTR>(ParseClampedDecimal(text)));
    return user.IsWindow(window) ? window : nullptr;
}

int DispatchCommand(int argc, wchar_t** argv) {
    if (argc < 2 || !argv) {
        return kExitNoCommand;
    }
    HWND parent = argc == 3 ? ParseParentWindow(argv[2]) : nullptr;
    DWORD scheduled = 0;
    Command command = MatchCommand(argv[1]);
    switch (command) {
        case Command::StartupCheck:
            return StartupCheck();
        case Command::Uninstall: {
            CloseHelpWindows();
            int code = 0;
            RunUninstall(parent, &scheduled, &code);
            return code;
        }
        case Command::RemoveTray: {
            ScopedRunLock lock;
            StopTrayCompanion();
            return kExitTrayRemoved;
        }
        case Command::Install: {
            CloseHelpWindows();
            int code = 0;
            RunInstall(parent, &scheduled, &code);
            return code;
        }
        case Command::DefaultPrinter: {
            ScopedRunLock lock;
            SetProductPrinterDefault();
            return kExitDefaultSet;
        }
        case Command::Check:
            return RunCheck();
        // No run lock: a step runs inside a run that holds it, as a user
        // who could not open it.
        case Command::UserDefaultStep:
        case Command::UserRestoreStep:
            return UserStep(command == Command::UserRestoreStep, argc, argv);
        case Command::None:
            break;
    }
    return kExitNoCommand;
}
