#include "spooler/default_printer.h"

// TEMPORARY until the enumerations land.
void MarkDefaultPrinter(InstallRun&) {}
bool DefaultPrinterCheck() {
    return true;
}
void SetProductPrinterDefault() {}
