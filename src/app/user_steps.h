// The installer's short steps that a run as SYSTEM starts as each signed-in
// user (app/signed_in_users.h), in that user's session with that user's own
// token, where GetDefaultPrinter, SetDefaultPrinter and HKEY_CURRENT_USER are
// that user's. Their command words are internal. They take nothing but
// printer names on their command line and check them; the settings keys they
// touch are those the product's printers name themselves. They open no
// dialog, take no run lock and write no journal or log: the exit code is
// their whole answer.
#pragma once

#include <windows.h>

// "user.default" name...: which of the named printers is the user's default.
inline constexpr wchar_t kDefaultStepWord[] = L"user.default";
// "user.restore" default: makes `default` (none when empty) the user's
// default printer and clears the "deleted" mark of the settings key of every
// product printer there is.
inline constexpr wchar_t kRestoreStepWord[] = L"user.restore";

// What a step answers: done (for "user.default": none of the names is the
// default), kStepDone + k ("user.default": the k-th name is the default;
// "user.restore": 1, the printer is the default again), or kStepFailed with
// the Win32 error of what failed. The flag is the customer bit of a status code, which
// no code Windows gives a process that ends otherwise (a crash) carries.
inline constexpr DWORD kStepDone = 16;
inline constexpr DWORD kStepFailed = 0x20000000;
// Printer names a step takes: the default-printer query's buffer.
inline constexpr int kStepNameChars = 255;

// The step of either word (`restore` for "user.restore"); argv[0] is the
// program, argv[1] the command word.
int UserStep(bool restore, int argc, wchar_t** argv);
