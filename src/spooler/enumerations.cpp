#include "spooler/enumerations.h"

#include "core/kernel_api.h"

void FreePrinterList(PRINTER_INFO_2W*& buffer, UINT32& count) {
    FreeGlobal(buffer);
    buffer = nullptr;
    count = 0;
}
