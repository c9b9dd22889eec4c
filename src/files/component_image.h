// What an install can know of a printer component before it hands it to the
// spooler: whether the file is there, readable and a whole x64 DLL. The
// spooler itself takes a missing file or one that is no image at all (Wine
// registers a driver whose DLL is cut to 4 KiB), and the printers then fail
// where nobody sees why.
#pragma once

#include <windows.h>

enum class ComponentImage {
    Usable,
    Missing,     // not there or not readable (the last error says why)
    NotAnImage,  // no PE image, or one cut short or damaged
    NotX64,      // an image for another processor, or no 64-bit one
    NotADll,     // an x64 program, not a DLL
};

ComponentImage CheckComponentImage(const wchar_t* path);
