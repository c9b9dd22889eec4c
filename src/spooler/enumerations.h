// Spooler enumerations with the two-call size protocol.
#pragma once

#include <windows.h>
#include <winspool.h>

void FreePrinterList(PRINTER_INFO_2W*& buffer, UINT32& count);
