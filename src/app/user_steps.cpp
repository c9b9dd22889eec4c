#include "app/user_steps.h"

#include "core/product.h"
#include "spooler/enumerations.h"
#include "spooler/printer_settings.h"
#include "spooler/winspool_api.h"
#include "core/kernel_api.h"

namespace {

int Failed(DWORD code) {
    return static_cast<int>(kStepFailed | (code & 0xFFFF));
}

// Empty names stand for printers whose names cannot be passed; none is longer
// than the default-printer query takes.
bool ValidName(const wchar_t* name) {
    return kernel.lstrlenW(name) < kStepNameChars;
}

// The default printer's name: off the stack, which the entry keeps small.
wchar_t defaultName[kStepNameChars];

int DefaultPrinterStep(int argc, wchar_t** argv) {
    wchar_t* name = defaultName;
    DWORD chars = kStepNameChars;
    // No default at all, or a name longer than any the step is given, is none.
    if (!winspool.GetDefaultPrinterW(name, &chars)) {
        DWORD code = kernel.GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_INSUFFICIENT_BUFFER
                   ? static_cast<int>(kStepDone)
                   : Failed(code);
    }
    for (int i = 2; i < argc; ++i) {
        if (SameSpoolerName(argv[i], name)) {
            return static_cast<int>(kStepDone) + i - 1;
        }
    }
    return static_cast<int>(kStepDone);
}

int RestoreUserStep(const wchar_t* given) {
    // SetDefaultPrinter picks a printer of its own for an empty name, and its
    // result is not defined for a printer that is not there: only a given
    // printer that opens (one that came back) is made the default.
    UniquePrinter printer;
    DWORD answer = kStepDone;
    if (given[0] && OpenPrinterInto(given, nullptr, printer)) {
        answer = winspool.SetDefaultPrinterW(given) ? kStepDone + 1
                                                    : kStepFailed | kernel.GetLastError();
    }
    // The SubKeys come from the printers themselves: only an administrator
    // can write a printer's data.
    PrinterList printers = {};
    EnumeratePrinters(printers);
    for (UINT32 i = 0; i < printers.count; ++i) {
        UniquePrinter product;
        if (IsProductDriver(printers.buffer[i].pDriverName) &&
            OpenPrinterInto(printers.buffer[i].pPrinterName, nullptr, product)) {
            ClearMarkOfNewPrinter(product.Get());
        }
    }
    FreePrinterList(printers);
    return static_cast<int>(answer);
}

}  // namespace

int UserStep(bool restore, int argc, wchar_t** argv) {
    // Every name is checked before anything is done.
    for (int i = 2; i < argc; ++i) {
        if (!ValidName(argv[i])) {
            return Failed(ERROR_INVALID_PARAMETER);
        }
    }
    if (!restore) {
        return DefaultPrinterStep(argc, argv);
    }
    return argc == 3 ? RestoreUserStep(argv[2]) : Failed(ERROR_INVALID_PARAMETER);
}
