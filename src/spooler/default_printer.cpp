#include "spooler/default_printer.h"

#include "core/kernel_api.h"
#include "core/product.h"
#include "spooler/enumerations.h"
#include "spooler/winspool_api.h"

namespace {

constexpr DWORD kMarkNameChars = 255;
constexpr DWORD kCheckNameChars = 260;

bool IsProductPrinter(const PRINTER_INFO_2W& printer) {
    return IsProductDriver(printer.pDriverName);
}

// False when the printer's record cannot be read: an unreadable default
// printer is not taken for a product printer.
bool PrinterUsesProductDriver(HANDLE printer) {
    PrinterInfoBuffer info;
    GetPrinterInfo2(info, printer);
    bool product = info.buffer && IsProductPrinter(*info.buffer);
    FreeGlobal(info.buffer);
    return product;
}

}  // namespace

void MarkDefaultPrinter(InstallRun& run) {
    EnumeratePrinters(run.printers, run.printerCount);
    wchar_t name[kMarkNameChars] = {};
    DWORD chars = kMarkNameChars;
    run.defaultPrinterError = 0;
    if (!winspool.GetDefaultPrinterW(name, &chars)) {
        // No default printer at all is an answer, and so is a name longer than
        // any printer of the product's can be; anything else leaves it unknown.
        DWORD code = kernel.GetLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_INSUFFICIENT_BUFFER) {
            run.defaultPrinterError = code ? code : ERROR_INVALID_FUNCTION;
        }
        return;
    }
    for (UINT32 i = 0; i < run.printerCount; ++i) {
        if (SameSpoolerName(run.printers[i].pPrinterName, name)) {
            run.printers[i].Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
        }
    }
}

bool DefaultPrinterCheck() {
    wchar_t name[kCheckNameChars] = {};
    DWORD chars = kCheckNameChars;
    // The answer is the name itself: a failed query leaves the buffer empty.
    winspool.GetDefaultPrinterW(name, &chars);
    if (name[0] == 0) {
        return true;
    }
    UniquePrinter printer;
    if (!OpenPrinterInto(name, nullptr, printer)) {
        return true;
    }
    return !PrinterUsesProductDriver(printer.Get());
}

void SetProductPrinterDefault() {
    PrinterList list = {};
    EnumeratePrinters(list);
    for (UINT32 i = 0; i < list.count; ++i) {
        if (IsProductPrinter(list.buffer[i])) {
            winspool.SetDefaultPrinterW(list.buffer[i].pPrinterName);
            break;
        }
    }
    FreePrinterList(list);
}
