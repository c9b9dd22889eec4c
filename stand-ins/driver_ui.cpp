// Stand-in for the product's printer driver user-interface (configuration)
// DLL. The spooler asks it for the default DEVMODE of each new printer
// (Wine's AddPrinterW crashes on a configuration DLL without
// DrvDocumentPropertySheets) and notifies it of driver and printer events.
// It offers one A4 portrait page and no property pages.
#include <windows.h>
#include <winspool.h>
#include <winddiui.h>

namespace {

// The layout the spooler passes in lParam when pPSUIInfo is null; the
// mingw-w64 headers do not declare it.
struct DocumentPropertyHeader {
    WORD cbSize;
    WORD reserved;
    HANDLE printer;
    LPWSTR printerName;
    DEVMODEW* devModeIn;
    DEVMODEW* devModeOut;
    DWORD outBytes;
    DWORD mode;
};

constexpr DWORD kFields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES;
constexpr WORD kDriverVersion = 0x0100;
constexpr wchar_t kPaperName[] = L"A4";
constexpr LONG kA4WidthTenthsMm = 2100;
constexpr LONG kA4HeightTenthsMm = 2970;

void FillDefaultDevMode(DEVMODEW& dm, const wchar_t* printerName) {
    ZeroMemory(&dm, sizeof(dm));
    if (printerName) {
        lstrcpynW(dm.dmDeviceName, printerName, CCHDEVICENAME);
    }
    dm.dmSpecVersion = DM_SPECVERSION;
    dm.dmDriverVersion = kDriverVersion;
    dm.dmSize = sizeof(DEVMODEW);
    dm.dmDriverExtra = 0;
    dm.dmFields = kFields;
    dm.dmOrientation = DMORIENT_PORTRAIT;
    dm.dmPaperSize = DMPAPER_A4;
    dm.dmCopies = 1;
}

// Takes over the settings this driver knows from a caller's DEVMODE.
void MergeDevMode(DEVMODEW& dm, const DEVMODEW& in) {
    if (in.dmSize < offsetof(DEVMODEW, dmScale)) {
        return;
    }
    if (in.dmFields & DM_ORIENTATION) {
        dm.dmOrientation = in.dmOrientation;
    }
    if (in.dmFields & DM_PAPERSIZE) {
        dm.dmPaperSize = in.dmPaperSize;
    }
    if (in.dmFields & DM_COPIES) {
        dm.dmCopies = in.dmCopies;
    }
}

LONG DocumentProperties(DocumentPropertyHeader& header) {
    // A size query: no mode, or nowhere to write.
    if (header.mode == 0 || !header.devModeOut) {
        header.outBytes = sizeof(DEVMODEW);
        return sizeof(DEVMODEW);
    }
    if (!(header.mode & DM_OUT_BUFFER)) {
        return IDOK;
    }
    if (header.outBytes < sizeof(DEVMODEW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return -1;
    }
    DEVMODEW dm;
    FillDefaultDevMode(dm, header.printerName);
    if ((header.mode & DM_IN_BUFFER) && header.devModeIn) {
        MergeDevMode(dm, *header.devModeIn);
    }
    CopyMemory(header.devModeOut, &dm, sizeof(dm));
    return IDOK;
}

DWORD Papers(WORD capability, void* output) {
    if (output) {
        if (capability == DC_PAPERS) {
            *static_cast<WORD*>(output) = DMPAPER_A4;
        } else if (capability == DC_PAPERNAMES) {
            // Paper names are fixed fields of 64 characters.
            lstrcpynW(static_cast<wchar_t*>(output), kPaperName, 64);
        } else {
            *static_cast<POINT*>(output) = POINT{kA4WidthTenthsMm, kA4HeightTenthsMm};
        }
    }
    return 1;
}

}  // namespace

extern "C" {

LONG WINAPI DrvDocumentPropertySheets(PPROPSHEETUI_INFO sheetInfo, LPARAM lParam) {
    if (sheetInfo) {
        // A request for property pages: this driver has none to show.
        SetLastError(ERROR_NOT_SUPPORTED);
        return -1;
    }
    auto* header = reinterpret_cast<DocumentPropertyHeader*>(lParam);
    if (!header || header->cbSize < sizeof(DocumentPropertyHeader)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    return DocumentProperties(*header);
}

DWORD WINAPI DrvDeviceCapabilities(HANDLE, PWSTR, WORD capability, void* output, PDEVMODEW) {
    switch (capability) {
        case DC_FIELDS:
            return kFields;
        case DC_SIZE:
            return sizeof(DEVMODEW);
        case DC_EXTRA:
            return 0;
        case DC_VERSION:
            return DM_SPECVERSION;
        case DC_DRIVER:
            return kDriverVersion;
        case DC_COPIES:
            return 1;
        case DC_ORIENTATION:
            return 0;
        case DC_PAPERS:
        case DC_PAPERNAMES:
        case DC_PAPERSIZE:
            return Papers(capability, output);
        default:
            // Lists this driver has no entries for.
            return 0;
    }
}

BOOL WINAPI DrvDriverEvent(DWORD, DWORD, LPBYTE, LPARAM) {
    return TRUE;
}

BOOL WINAPI DrvPrinterEvent(LPWSTR, INT, DWORD, LPARAM) {
    return TRUE;
}

}  // extern "C"
