// What an administrator sets on an office's printer, for the tools that
// dress printers before a reinstall: a share, priorities, hours, a separator
// page, two attributes and print defaults. A reinstall carries all of it over.
#pragma once

#include <windows.h>
#include <winspool.h>

inline void DressAsOffice(PRINTER_INFO_2W* info, wchar_t* share) {
    info->pShareName = share;
    info->Attributes |= PRINTER_ATTRIBUTE_SHARED | PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS |
                        PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST;
    info->Priority = 42;
    info->DefaultPriority = 7;
    info->StartTime = 60;
    info->UntilTime = 1200;
    info->pSepFile = const_cast<wchar_t*>(L"C:\\windows\\system32\\sysprint.sep");
    if (info->pDevMode) {
        info->pDevMode->dmPaperSize = DMPAPER_A4;
        info->pDevMode->dmOrientation = DMORIENT_LANDSCAPE;
        info->pDevMode->dmCopies = 3;
        info->pDevMode->dmFields |= DM_PAPERSIZE | DM_ORIENTATION | DM_COPIES;
    }
}
